#pragma once

#include <cstdint>

#include "platform/Clock.h"

namespace jointcast {

// States of the controller polling cycle, advanced one step per idle call.
enum class State : std::int8_t {
  WaitRetry = 0,        // not connected: wait Timeout since LastTick, then connect
  Connect = 1,          // register with the controller
  CheckController = 2,  // ask whether the controller is ready
  AwaitCheck = 3,       // wait for that answer
  Pause = 4,            // wait the read period (200 ms) since the last read was issued
  RequestAxes = 5,      // issue the read of $AXIS_ACT
  AwaitAxes = 6,        // wait for the read and fetch its text
  Publish = 7,          // decode, show and send
};

// One polling cycle for the whole program, independent of the window object.
extern State PollState;
extern platform::Tick LastTick;

inline constexpr std::uint32_t kReadInterval = 200;  // the default read period
inline constexpr std::uint32_t kMaxReadPeriod = 10000;
inline constexpr std::uint32_t kCheckSleep = 250;  // after each ready request

}  // namespace jointcast
