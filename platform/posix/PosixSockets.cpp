#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "platform/Sockets.h"

namespace platform {
namespace {

class PosixSockets : public Sockets {
 public:
  bool Startup() override { return true; }
  void Cleanup() override {}

  SocketHandle OpenUdp() override {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? kNoSocket : fd;
  }

  std::optional<std::array<std::uint8_t, 4>> ResolveIPv4(const std::string& name) override {
    std::string host = name;
    if (host.empty()) {
      // The empty name stands for this machine, found by its own host name.
      char own[HOST_NAME_MAX + 1] = {};
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

  long SendTo(SocketHandle socket, const char* data, std::size_t length,
              const SocketAddressV4& destination) override {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::memcpy(&to.sin_port, destination.port.data(), 2);
    std::memcpy(&to.sin_addr, destination.address.data(), 4);
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
