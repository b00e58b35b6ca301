#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/posix/ServiceManager.h"

namespace receiver {

// What the listener tells systemd when systemd started it: READY=1 once it receives, STATUS=
// in words every few seconds ("4 robots, 20.0/s, broker connected, 0 lost"), and WATCHDOG=1
// from the receiving loop itself, so that a loop that hangs is restarted. Without systemd
// nothing is sent.
class ServiceReport {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kStatusEvery{5};

  // What the status is made of, asked for when it is due.
  struct Counts {
    std::size_t robots = 0;  // heard from in the last period
    std::uint64_t received = 0;
    std::optional<bool> brokerConnected;  // none without a broker
    std::uint64_t lost = 0;
  };

  explicit ServiceReport(platform::ServiceManager& manager) : manager_(manager) {}

  // Receiving has begun.
  void Ready(Clock::time_point now);
  // Called at each turn of the receiving loop (at least every 200 ms). count is asked only when
  // a status is due; it gets the start of the period the robots are counted over.
  template <typename CountFunction>
  void Turn(Clock::time_point now, CountFunction count) {
    if (!notifying_) return;
    if (watchdogEvery_.count() > 0 && now - lastPing_ >= watchdogEvery_) {
      manager_.Notify("WATCHDOG=1");
      lastPing_ = now;
    }
    if (now - periodStart_ < kStatusEvery) return;
    Status(now, count(periodStart_));
    periodStart_ = now;
  }

  // "4 robots, 20.0/s, broker connected, 0 lost"
  static std::string StatusText(const Counts& counts, double seconds, std::uint64_t received);

 private:
  void Status(Clock::time_point now, const Counts& counts);

  platform::ServiceManager& manager_;
  bool notifying_ = false;
  std::chrono::milliseconds watchdogEvery_{0};
  Clock::time_point lastPing_, periodStart_;
  std::uint64_t receivedBefore_ = 0;
  std::string lastStatus_;
};

}  // namespace receiver
