#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

#include "platform/Clock.h"

namespace portable {

// A failure that comes back at every try: told the first time (or when its reason changes),
// then at most once a minute with since when and how many times, and once when it is over. The
// caller words each line; this keeps the count and the timing.
class RecurringFailure {
 public:
  static constexpr std::uint32_t kRepeatAfterMs = 60000;

  struct Due {
    bool first = false;  // the first time of this reason: say it; otherwise a reminder
    std::string since;   // the time of day it began
    std::uint64_t times = 0;
  };

  // One more time of the failure; what is due to be said, if anything.
  std::optional<Due> Occurred(const std::string& reason, platform::Tick now,
                              const std::function<std::string()>& timeOfDay) {
    if (!reason_ || *reason_ != reason) {
      reason_ = reason;
      since_ = timeOfDay();
      times_ = 1;
      saidAt_ = now;
      return Due{true, since_, times_};
    }
    ++times_;
    if (platform::Elapsed(now, saidAt_) < kRepeatAfterMs) return std::nullopt;
    saidAt_ = now;
    return Due{false, since_, times_};
  }

  // The failure is over: what to say, if there was one.
  std::optional<Due> Over() {
    if (!reason_) return std::nullopt;
    reason_.reset();
    return Due{false, since_, times_};
  }

  bool Failing() const { return reason_.has_value(); }
  // The reason of the failure going on; empty when none is.
  std::string Reason() const { return reason_.value_or(""); }

 private:
  std::optional<std::string> reason_;
  std::string since_;
  std::uint64_t times_ = 0;
  platform::Tick saidAt_ = 0;
};

// The time of day for "since 12:03:10", local time.
inline std::string LocalTimeOfDay() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

}  // namespace portable
