#include <sys/socket.h>
#include <unistd.h>

#include "platform/HostLookup.h"
#include "platform/SocketAddress.h"

namespace platform {
namespace {

class PosixSockets : public Sockets {
 public:
  bool Startup() override { return true; }
  void Cleanup() override {}

  SocketHandle OpenUdp() override {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return kNoSocket;
    // A receiver may be given as a broadcast address (a subnet's .255, for every simulation PC
    // on it): without the option the system refuses every send there.
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    return fd;
  }

  std::optional<std::array<std::uint8_t, 4>> ResolveIPv4(const std::string& name) override {
    return LookupIPv4(name);
  }

  long SendTo(SocketHandle socket, const char* data, std::size_t length,
              const SocketAddressV4& destination) override {
    const sockaddr_in to = ToSockaddrIn(destination);
    const ssize_t sent = sendto(static_cast<int>(socket), data, length, MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent < 0 ? -1 : static_cast<long>(sent);
  }

  void ShutdownBoth(SocketHandle socket) override { shutdown(static_cast<int>(socket), SHUT_RDWR); }
  void Close(SocketHandle socket) override { close(static_cast<int>(socket)); }
};

}  // namespace

Sockets& SystemSockets() {
  static PosixSockets sockets;
  return sockets;
}

}  // namespace platform
