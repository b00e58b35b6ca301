#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/Sockets.h"

namespace platform {

// Records every socket call; resolution answers from a table.
class FakeSockets : public Sockets {
 public:
  struct Sent {
    std::string payload;
    SocketAddressV4 destination;
  };

  bool Startup() override {
    calls.push_back("startup");
    return startupSucceeds;
  }
  void Cleanup() override { calls.push_back("cleanup"); }
  SocketHandle OpenUdp() override {
    calls.push_back("open");
    return openSucceeds ? kHandle : kNoSocket;
  }
  std::optional<std::array<std::uint8_t, 4>> ResolveIPv4(const std::string& name) override {
    resolved.push_back(name);
    auto it = hosts.find(name);
    if (it == hosts.end()) return std::nullopt;
    return it->second;
  }
  long SendTo(SocketHandle socket, const char* data, std::size_t length,
              const SocketAddressV4& destination) override {
    if (socket != kHandle || sendFails) return -1;
    sent.push_back({std::string(data, length), destination});
    return static_cast<long>(length);
  }
  void ShutdownBoth(SocketHandle socket) override {
    calls.push_back("shutdown " + std::to_string(socket));
  }
  void Close(SocketHandle socket) override { calls.push_back("close " + std::to_string(socket)); }

  static constexpr SocketHandle kHandle = 7;
  bool startupSucceeds = true;
  bool openSucceeds = true;
  bool sendFails = false;
  std::map<std::string, std::array<std::uint8_t, 4>> hosts{{"localhost", {127, 0, 0, 1}},
                                                           {"", {10, 1, 2, 3}}};
  std::vector<std::string> calls;
  std::vector<std::string> resolved;
  std::vector<Sent> sent;
};

}  // namespace platform
