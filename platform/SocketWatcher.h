#pragma once

#include <functional>

namespace platform {

// Lets the GUI thread's message loop call back when a socket has data (or has closed).
class SocketWatcher {
 public:
  virtual ~SocketWatcher() = default;
  virtual void Watch(int socket, std::function<void()> onReadable) = 0;
  virtual void Unwatch(int socket) = 0;
};

}  // namespace platform
