#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform/HostLookup.h"
#include "platform/Sockets.h"

namespace platform {
namespace {

class WinSockets : public Sockets {
 public:
  bool Startup() override {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 0), &data) == 0;
  }
  void Cleanup() override { WSACleanup(); }

  SocketHandle OpenUdp() override {
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    return s == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(s);
  }

  std::optional<std::array<std::uint8_t, 4>> ResolveIPv4(const std::string& name) override {
    return LookupIPv4(name);
  }

  long SendTo(SocketHandle socket, const char* data, std::size_t length,
              const SocketAddressV4& destination) override {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::memcpy(&to.sin_port, destination.port.data(), 2);
    std::memcpy(&to.sin_addr, destination.address.data(), 4);
    const int sent = sendto(static_cast<SOCKET>(socket), data, static_cast<int>(length), 0,
                            reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent == SOCKET_ERROR ? -1 : sent;
  }

  void ShutdownBoth(SocketHandle socket) override {
    shutdown(static_cast<SOCKET>(socket), SD_BOTH);
  }
  void Close(SocketHandle socket) override { closesocket(static_cast<SOCKET>(socket)); }
};

}  // namespace

Sockets& SystemSockets() {
  static WinSockets sockets;
  return sockets;
}

}  // namespace platform
