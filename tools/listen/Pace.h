#pragma once

#include <algorithm>

namespace receiver {

// A sender's pace, a moving average of its intervals, and the rule for when it has gone
// silent: nothing for 3 typical intervals, and for at least a second. The live view and the
// MQTT status topics judge silence by it alike.
class Pace {
 public:
  static constexpr double kSilentIntervals = 3;
  static constexpr double kLeastSilenceMs = 1000;
  static constexpr double kAverageWeight = 0.2;  // of the newest interval

  // One more interval. One past the silence starts the pace afresh: the silence would hold the
  // rate down and put off the next silence for long.
  void Add(double gapMs) {
    if (averageMs_ > 0 && gapMs > SilenceMs()) {
      averageMs_ = 0;
    } else {
      averageMs_ = averageMs_ == 0 ? gapMs : averageMs_ + kAverageWeight * (gapMs - averageMs_);
    }
  }
  // How long nothing must come for the sender to count as silent.
  double SilenceMs() const { return std::max(kLeastSilenceMs, kSilentIntervals * averageMs_); }
  // Datagrams a second; 0 until there is an interval.
  double RatePerS() const { return averageMs_ > 0 ? 1000.0 / averageMs_ : 0; }

 private:
  double averageMs_ = 0;  // 0 until there is an interval
};

}  // namespace receiver
