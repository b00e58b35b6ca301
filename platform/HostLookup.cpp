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

std::optional<std::array<std::uint8_t, 4>> LookupIPv4(const std::string& name) {
  std::string host = name;
  if (host.empty()) {
    char own[256] = {};
    if (gethostname(own, sizeof own - 1) != 0) return std::nullopt;
    host = own;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  std::array<std::uint8_t, 4> address{};
  const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  std::memcpy(address.data(), &ipv4->sin_addr, 4);
  freeaddrinfo(found);
  return address;
}

}  // namespace platform
