#include <time.h>

#include "platform/Clock.h"

namespace platform {
namespace {

class MonotonicClock : public Clock {
 public:
  Tick Now() override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                    static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<Tick>(ms);  // wraps like the Windows tick count
  }
  void Sleep(std::uint32_t milliseconds) override {
    timespec rest{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0) {
    }
  }
};

}  // namespace

Clock& SystemClock() {
  static MonotonicClock clock;
  return clock;
}

}  // namespace platform
