#include <windows.h>

#include "platform/Clock.h"

namespace platform {
namespace {

class TickCountClock : public Clock {
 public:
  Tick Now() override { return GetTickCount(); }
  void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

}  // namespace

Clock& SystemClock() {
  static TickCountClock clock;
  return clock;
}

}  // namespace platform
