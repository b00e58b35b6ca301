#pragma once

#include <cstdint>
#include <functional>

namespace platform {

// Queues work for the GUI thread's message loop: it runs from the loop, never inside the call
// that posted it.
class EventPoster {
 public:
  virtual ~EventPoster() = default;
  virtual void Post(std::uint32_t delayMs, std::function<void()> work) = 0;
};

}  // namespace platform
