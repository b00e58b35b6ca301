#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <netinet/in.h>
#endif

#include <cstring>

#include "platform/Sockets.h"

namespace platform {

// The system's form of an IPv4 socket address, for the socket layers' own use.
inline sockaddr_in ToSockaddrIn(const SocketAddressV4& address) {
  sockaddr_in system{};
  system.sin_family = AF_INET;
  std::memcpy(&system.sin_port, address.port.data(), 2);
  std::memcpy(&system.sin_addr, address.address.data(), 4);
  return system;
}

}  // namespace platform
