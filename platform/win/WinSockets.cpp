#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/HostLookup.h"
#include "platform/SocketAddress.h"

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
    const sockaddr_in to = ToSockaddrIn(destination);
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
