#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

using SocketHandle = std::intptr_t;
constexpr SocketHandle kNoSocket = -1;

constexpr std::uint16_t kFamilyIPv4 = 2;

// Byte-for-byte an IPv4 socket address: family, port and address in network byte order, then
// eight zero bytes. Kept here so callers need no OS header.
struct SocketAddressV4 {
  std::uint16_t family = 0;
  std::array<std::uint8_t, 2> port{};     // network byte order
  std::array<std::uint8_t, 4> address{};  // network byte order
  std::array<std::uint8_t, 8> zero{};

  void SetPort(std::uint16_t hostOrder) {
    port = {static_cast<std::uint8_t>(hostOrder >> 8), static_cast<std::uint8_t>(hostOrder)};
  }
  std::uint16_t Port() const { return static_cast<std::uint16_t>(port[0] << 8 | port[1]); }
  friend bool operator==(const SocketAddressV4&, const SocketAddressV4&) = default;
};
static_assert(sizeof(SocketAddressV4) == 16);

// The handful of socket calls the program makes: Windows Sockets on Windows, POSIX elsewhere.
class Sockets {
 public:
  virtual ~Sockets() = default;
  virtual bool Startup() = 0;  // Windows Sockets 2.0; always true elsewhere
  virtual void Cleanup() = 0;
  virtual SocketHandle OpenUdp() = 0;  // kNoSocket on failure
  // Host name or dotted IPv4 address; an empty name is this machine's own. The first address.
  virtual std::optional<std::array<std::uint8_t, 4>> ResolveIPv4(const std::string& name) = 0;
  // Returns the bytes sent, or -1.
  virtual long SendTo(SocketHandle socket, const char* data, std::size_t length,
                      const SocketAddressV4& destination) = 0;
  virtual void ShutdownBoth(SocketHandle socket) = 0;
  virtual void Close(SocketHandle socket) = 0;
};

// The platform's implementation.
Sockets& SystemSockets();

}  // namespace platform
