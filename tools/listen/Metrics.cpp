#include "tools/listen/Metrics.h"

#include <charconv>

namespace receiver {
namespace {

// A label value, escaped as the format asks: backslash, double quote and line feed.
std::string Label(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string Number(double value) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

std::string MetricsText(const std::vector<RobotMetrics>& robots, const ListenerMetrics& listener) {
  std::string out;
  const auto each = [&](const char* name, const char* type, const char* help, auto value) {
    Family(out, name, type, help);
    for (const RobotMetrics& robot : robots) {
      out += std::string(name) + "{robot=\"" + Label(robot.robot) + "\"} " + value(robot) + "\n";
    }
  };
  each("jointcast_datagrams_total", "counter", "Datagrams received from the robot.",
       [](const RobotMetrics& r) { return std::to_string(r.datagrams); });
  each("jointcast_malformed_total", "counter",
       "Datagrams from the robot that are not in the position format.",
       [](const RobotMetrics& r) { return std::to_string(r.malformed); });
  each("jointcast_last_datagram_age_seconds", "gauge", "Seconds since the robot's last datagram.",
       [](const RobotMetrics& r) { return Number(r.lastAgeS); });
  each("jointcast_silent", "gauge",
       "1 once nothing has come for three of the robot's usual intervals and at least a second.",
       [](const RobotMetrics& r) { return std::string(r.silent ? "1" : "0"); });
  Family(out, "jointcast_interval_seconds", "summary",
         "Seconds between consecutive datagrams of the robot, since the listener started.");
  for (const RobotMetrics& robot : robots) {
    const std::string label = "robot=\"" + Label(robot.robot) + "\"";
    const IntervalSummary& s = robot.intervals;
    // No interval yet: no quantile either (NaN, as the format writes it), not a 0 s interval.
    const std::string median = s.count > 0 ? Number(s.median / 1000) : "NaN";
    const std::string p99 = s.count > 0 ? Number(s.p99 / 1000) : "NaN";
    out += "jointcast_interval_seconds{" + label + ",quantile=\"0.5\"} " + median + "\n";
    out += "jointcast_interval_seconds{" + label + ",quantile=\"0.99\"} " + p99 + "\n";
    out += "jointcast_interval_seconds_sum{" + label + "} " +
           Number(s.mean * static_cast<double>(s.count) / 1000) + "\n";
    out += "jointcast_interval_seconds_count{" + label + "} " + std::to_string(s.count) + "\n";
  }
  Family(out, "jointcast_output_dropped_total", "counter",
         "Datagrams an output lost: dropped because it did not keep up, or not written.");
  for (const auto& [output, dropped] : listener.outputDropped) {
    out += "jointcast_output_dropped_total{output=\"" + Label(output) + "\"} " +
           std::to_string(dropped) + "\n";
  }
  if (listener.mqttConnected) {
    Family(out, "jointcast_mqtt_connected", "gauge", "1 while the broker is connected.");
    out += std::string("jointcast_mqtt_connected ") + (*listener.mqttConnected ? "1" : "0") + "\n";
  }
  Family(out, "jointcast_kernel_dropped_total", "counter",
         "Datagrams the kernel dropped for want of room in the receive buffer.");
  out += "jointcast_kernel_dropped_total " + std::to_string(listener.kernelDropped) + "\n";
  return out;
}

}  // namespace receiver
