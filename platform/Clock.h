#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since system start, as a 32-bit count that wraps after about 49.7 days.
using Tick = std::uint32_t;

// Elapsed time between two ticks, right across the counter's wrap.
constexpr std::uint32_t Elapsed(Tick now, Tick then) {
  return static_cast<std::uint32_t>(now - then);
}

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Tick Now() = 0;
  // Blocks the calling thread.
  virtual void Sleep(std::uint32_t milliseconds) = 0;
};

// The system's tick count and a real thread sleep.
Clock& SystemClock();

}  // namespace platform
