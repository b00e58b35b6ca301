#include "platform/posix/BindIPv4.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/HostLookup.h"

namespace platform {

bool BindIPv4(int fd, const std::string& host, std::uint16_t port, std::string& reason) {
  const std::optional<IPv4Address> address = ResolveIPv4(host, reason);
  if (!address) return false;
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  std::memcpy(&at.sin_addr, address->data(), 4);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
    reason = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace platform
