#pragma once

#include <atomic>
#include <string>
#include <string_view>

struct mosquitto;

namespace receiver {

// The MQTT message for one datagram: topic PREFIX/<sender>/axis_act and the JSON payload
//   {"time":1765222222.123456,"sender":"10.0.0.5","axes":[a1,a2,a3,a4,a5,a6]}
// with the six values as received. The payload must be a well-formed position datagram.
std::string PositionTopic(std::string_view prefix, std::string_view sender);
std::string PositionJson(double unixTime, std::string_view sender, std::string_view payload);

// Publishes positions to a broker through libmosquitto, retained, QoS 0. The library's own
// thread connects and reconnects with back-off, so publishing never blocks the caller: while the
// broker is away, positions are dropped. Says "broker unreachable" once when the broker cannot
// be reached or goes away and "broker connected" when it is back.
class MqttBridge {
 public:
  MqttBridge() = default;
  ~MqttBridge();
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  // False, with the reason, when the client cannot even be set up (a broker that is down is not
  // a reason: it is tried again in the background).
  bool Start(const std::string& host, int port, std::string prefix, std::string& error);
  void Publish(double unixTime, std::string_view sender, std::string_view payload);

 private:
  static void OnConnect(mosquitto*, void* self, int result);
  static void OnDisconnect(mosquitto*, void* self, int result);
  void Report(bool connected);

  mosquitto* client_ = nullptr;
  std::string prefix_;
  std::atomic<int> reported_{-1};  // -1 nothing said yet, 0 unreachable, 1 connected
  std::atomic<bool> closing_{false};
};

}  // namespace receiver
