#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/listen/StreamStats.h"

namespace receiver {

// One robot as Prometheus sees it, labelled robot="<its name, or its address>".
struct RobotMetrics {
  std::string robot;
  std::uint64_t datagrams = 0, malformed = 0;
  double lastAgeS = 0;
  bool silent = false;
  IntervalSummary intervals;  // ms
};

// The listener's own figures.
struct ListenerMetrics {
  std::vector<std::pair<std::string, std::uint64_t>> outputDropped;  // by output
  std::optional<bool> mqttConnected;                                 // none without a broker
  std::uint64_t kernelDropped = 0;
};

// The Prometheus text exposition format (version 0.0.4) of them all: per robot
// jointcast_datagrams_total, jointcast_malformed_total, jointcast_last_datagram_age_seconds,
// jointcast_interval_seconds (a summary, quantiles 0.5 and 0.99) and jointcast_silent; then
// jointcast_output_dropped_total{output}, jointcast_mqtt_connected and
// jointcast_kernel_dropped_total.
std::string MetricsText(const std::vector<RobotMetrics>& robots, const ListenerMetrics& listener);

}  // namespace receiver
