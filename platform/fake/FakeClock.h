#pragma once

#include <vector>

#include "platform/Clock.h"

namespace platform {

// A tick that moves only when someone sleeps or the test advances it, so timed behaviour can be
// checked step by step.
class FakeClock : public Clock {
 public:
  explicit FakeClock(Tick start = 100000) : now_(start) {}
  Tick Now() override { return now_; }
  void Sleep(std::uint32_t milliseconds) override {
    sleeps.push_back(milliseconds);
    now_ += milliseconds;
  }
  void Advance(std::uint32_t milliseconds) { now_ += milliseconds; }

  std::vector<std::uint32_t> sleeps;

 private:
  Tick now_;
};

}  // namespace platform
