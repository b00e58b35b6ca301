#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Sockets.h"
#include "platform/posix/BackgroundLookup.h"

namespace platform {

// One client TCP connection with non-blocking reads, for talking to a controller's proxy.
class TcpConnection {
 public:
  virtual ~TcpConnection() = default;
  virtual SocketHandle Handle() const = 0;
  // Sends everything or fails.
  virtual bool SendAll(const std::uint8_t* data, std::size_t length) = 0;
  // Bytes read (> 0), 0 when nothing is waiting, -1 when the connection is closed or broken.
  virtual long Receive(std::uint8_t* buffer, std::size_t capacity) = 0;
  // Why the last Receive gave -1: "closed by the other end", "connection reset by peer".
  virtual std::string BrokenBecause() const = 0;
};

// Connects within the time limit (host name or IPv4 address); null on failure, with the reason
// in reason, in words an operator reads: "connection refused", "no answer within 1 s",
// "cannot resolve the name: Name or service not known".
std::unique_ptr<TcpConnection> ConnectTcp(const std::string& host, std::uint16_t port,
                                          int timeoutMs, std::string& reason);
// The same, to addresses already looked up: each in turn, all within the time limit.
std::unique_ptr<TcpConnection> ConnectTcp(const std::vector<ResolvedAddress>& addresses,
                                          int timeoutMs, std::string& reason);

}  // namespace platform
