#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

struct mosquitto;

namespace receiver {

// The MQTT message for one datagram: topic PREFIX/<sender's name>/axis_act and the JSON payload
//   {"time":1765222222.123456,"sender":"10.0.0.5","axes":[a1,a2,a3,a4,a5,a6]}
// with the six values received, each as the shortest JSON number that reads back as the same
// double ("1.5" for "1.500000", "7" for "007.000000"). The payload must be a well-formed
// position datagram.
std::string PositionTopic(std::string_view prefix, std::string_view sender);
// Why the prefix cannot begin a topic to publish on (a wildcard "+" or "#", not UTF-8), or empty
// when it can.
std::string TopicPrefixProblem(const std::string& prefix);
std::string PositionJson(double unixTime, std::string_view sender, std::string_view payload);

// How to reach the broker.
struct BrokerSettings {
  std::string host;
  int port = 0;  // 0: 1883, or 8883 with TLS
  std::string prefix = "jointcast";
  std::string user;
  std::string password;
  std::string clientId;  // empty: the library makes one up
  std::string caFile;    // TLS whenever given
  std::string certFile, keyFile;
  int qos = 0;
};

// Publishes positions to a broker through libmosquitto, retained. A thread of its own connects,
// the first time too, whenever the broker becomes reachable, and again after it went away, with
// a back-off from 1 to 30 s and no wake-ups in between; publishing never blocks the caller, and
// while the broker is away positions are dropped. Says "broker unreachable: <reason>" once and
// "broker connected" once. A broker that turns the credentials down, or a certificate that does
// not verify, is not retried: Fatal() says why, and the listener ends.
class MqttBridge {
 public:
  static constexpr int kLeastBackoffS = 1;
  // Positions sent to the library and not yet written to the broker; beyond this, new ones are
  // dropped (counted) rather than queued: about a second of 10,000 robots' positions.
  static constexpr int kMostWaiting = 10000;
  static constexpr int kMostBackoffS = 30;

  MqttBridge() = default;
  ~MqttBridge();
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  // False, with the reason, when the client cannot even be set up (a broker that is down is not
  // a reason: it is tried again in the background).
  bool Start(BrokerSettings settings, std::string& error);
  // The topic names the sender by its name (its address when it has none); the JSON keeps the
  // address.
  void Publish(double unixTime, std::string_view sender, std::string_view name,
               std::string_view payload);
  // Why the bridge gave up, or empty while it has not.
  std::string Fatal() const;
  // Positions dropped because the broker did not keep up.
  std::uint64_t DroppedForBacklog() const { return droppedForBacklog_; }

 private:
  static void OnConnect(mosquitto*, void* self, int result);
  static void OnPublished(mosquitto*, void* self, int messageId);
  void Run();
  void Report(bool connected, const std::string& reason);
  void GiveUp(const std::string& reason);
  bool Sleep(int seconds);  // false when closing
  // After a TLS failure before the broker answered: true, having given up, when it was the
  // broker's certificate that did not verify.
  bool CertificateRejected();

  mosquitto* client_ = nullptr;
  BrokerSettings settings_;
  std::thread thread_;
  std::atomic<int> reported_{-1};  // -1 nothing said yet, 0 unreachable, 1 connected
  std::atomic<bool> closing_{false};
  std::atomic<bool> refused_{false};   // the broker turned the connection down
  std::atomic<bool> answered_{false};  // the broker answered this connection (CONNACK)
  std::chrono::steady_clock::time_point connectedAt_;  // the bridge thread's own
  bool publishFailureSaid_ = false;                    // the caller's own
  bool backlogSaid_ = false;                           // the caller's own
  std::uint64_t droppedForBacklog_ = 0;                // the caller's own
  std::atomic<int> waiting_{0};
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::string fatal_;
};

}  // namespace receiver
