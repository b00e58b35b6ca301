#pragma once

#include <functional>

#include "platform/Sockets.h"

namespace platform {

// Lets the GUI thread's message loop call back when a socket has data (or has closed).
class SocketWatcher {
 public:
  virtual ~SocketWatcher() = default;
  virtual void Watch(SocketHandle socket, std::function<void()> onReadable) = 0;
  virtual void Unwatch(SocketHandle socket) = 0;
};

}  // namespace platform
