#include "tools/listen/ServiceReport.h"

#include <cstdio>

namespace receiver {

void ServiceReport::Ready(Clock::time_point now) {
  notifying_ = manager_.Notify("READY=1");
  watchdogEvery_ = std::chrono::milliseconds(manager_.WatchdogPingMs());
  lastPing_ = periodStart_ = now;
  if (notifying_) manager_.Notify("STATUS=receiving, nothing heard yet");
}

std::string ServiceReport::StatusText(const Counts& counts, double seconds,
                                      std::uint64_t received) {
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.1f/s",
                seconds > 0 ? static_cast<double>(received) / seconds : 0.0);
  std::string text =
      std::to_string(counts.robots) + (counts.robots == 1 ? " robot, " : " robots, ") + rate;
  if (counts.brokerConnected) {
    text += *counts.brokerConnected ? ", broker connected" : ", broker not connected";
  }
  return text + ", " + std::to_string(counts.lost) + " lost";
}

void ServiceReport::Status(Clock::time_point now, const Counts& counts) {
  const double seconds = std::chrono::duration<double>(now - periodStart_).count();
  const std::string status = StatusText(counts, seconds, counts.received - receivedBefore_);
  receivedBefore_ = counts.received;
  if (status == lastStatus_) return;
  manager_.Notify("STATUS=" + status);
  lastStatus_ = status;
}

}  // namespace receiver
