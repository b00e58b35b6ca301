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
#include <string>

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

std::optional<IPv4Address> ResolveIPv4(const std::string& host, std::string& reason) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (status != 0 || found == nullptr) {
#if defined(_WIN32)
    reason = "host not found (error " + std::to_string(status) + ")";  // gai_strerror is wide here
#else
    reason = status != 0 ? gai_strerror(status) : "no IPv4 address";
#endif
    return std::nullopt;
  }
  IPv4Address address{};
  std::memcpy(address.data(), &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr, 4);
  freeaddrinfo(found);
  return address;
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
