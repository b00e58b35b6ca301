#include "platform/HostLookup.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstring>

namespace platform {

std::vector<IPv4Address> ResolveAllIPv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  std::vector<IPv4Address> addresses;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return addresses;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) continue;
    IPv4Address address{};
    std::memcpy(address.data(), &reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr, 4);
    addresses.push_back(address);
  }
  freeaddrinfo(found);
  return addresses;
}

std::optional<IPv4Address> LookupIPv4(const std::string& name, AddressResolver resolve) {
  std::string host = name;
  if (host.empty()) {
    char own[256] = {};
    if (gethostname(own, sizeof own - 1) != 0) return std::nullopt;
    host = own;
  }
  const std::vector<IPv4Address> addresses = resolve(host);
  if (addresses.empty()) return std::nullopt;
  return addresses.front();
}

}  // namespace platform
