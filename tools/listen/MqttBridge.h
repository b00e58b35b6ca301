#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "tools/listen/Output.h"
#include "tools/listen/Pace.h"

struct mosquitto;

namespace receiver {

// The MQTT message for one datagram: topic PREFIX/<sender's name>/axis_act and the JSON payload
//   {"time":1765222222.123456,"sender":"10.0.0.5","axes":[a1,a2,a3,a4,a5,a6],"unit":"deg",
//    "joints":["A1","A2","A3","A4","A5","A6"]}
// with the six values received, each as the shortest JSON number that reads back as the same
// double ("1.5" for "1.500000", "7" for "007.000000"). The payload must be a well-formed
// position datagram.
std::string PositionTopic(std::string_view prefix, std::string_view sender);
// Why the prefix cannot begin a topic to publish on (a wildcard "+" or "#", not UTF-8), or empty
// when it can.
std::string TopicPrefixProblem(const std::string& prefix);
std::string PositionJson(double unixTime, std::string_view sender, std::string_view payload);
// A robot's status, PREFIX/<robot>/status: {"state":"live","since":T}, "silent" or "renamed"
// (with "as":"<new name>").
std::string StatusJson(std::string_view state, double since, std::string_view renamedAs = {});

// How to reach the broker.
struct BrokerSettings {
  std::string host;
  int port = 0;  // 0: 1883, or 8883 with TLS
  std::string prefix = "jointcast";
  std::string user;
  std::string password;
  std::string clientId;  // jointcast-listen-<host name> when empty
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
//
// Subscribers tell live from dead by two retained kinds of topic. PREFIX/bridge/<client id>/status
// is "online" while the bridge is connected and "offline" once it is gone: said by the bridge
// when it stops, and by the broker (the last will) when it dies or loses the connection. Each
// robot's PREFIX/<robot>/status says "live" from its first datagram and "silent" once it falls
// silent by the live view's rule, each with the time it began; a robot renamed in the names
// file leaves "renamed" on its old topic.
class MqttBridge : public Output {
 public:
  static constexpr int kLeastBackoffS = 1;
  // Positions sent to the library and not yet written to the broker; beyond this, new ones are
  // dropped (counted) rather than queued: about a second of 10,000 robots' positions.
  static constexpr int kMostWaiting = 10000;
  static constexpr int kMostBackoffS = 30;
  static constexpr std::size_t kMostRobots = 4096;  // with a status topic each

  explicit MqttBridge(Report say = {}) : say_(std::move(say)) {}
  ~MqttBridge() override;
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  // False, with the reason, when the client cannot even be set up (a broker that is down is not
  // a reason: it is tried again in the background).
  bool Start(BrokerSettings settings, std::string& error);
  // The topic names the sender by its name (its address when it has none); the JSON keeps the
  // address.
  void Publish(double unixTime, std::string_view sender, std::string_view name,
               std::string_view payload);
  // Whether the broker took the connection and has not been lost since.
  bool Connected() const { return reported_ == 1; }
  // Why the bridge gave up, or empty while it has not.
  std::string Fatal() const;
  // Positions dropped because the broker did not keep up.
  std::uint64_t DroppedForBacklog() const { return droppedForBacklog_; }
  // Positions dropped because no broker was connected.
  std::uint64_t DroppedWhileAway() const { return droppedWhileAway_; }

  // The well-formed datagrams, published; never waits for the broker.
  void Take(const Arrival& arrival) override;
  // Turns robots silent.
  void Tick(std::chrono::steady_clock::time_point now) override;
  void Close(std::chrono::steady_clock::time_point deadline) override;
  std::uint64_t Lost() const override {
    return droppedForBacklog_ + droppedWhileAway_ + notPublished_ + notDelivered_;
  }
  std::string LossLine() const override;
  std::string Label() const override { return "mqtt"; }

 private:
  static void OnConnect(mosquitto*, void* self, int result);
  static void OnPublished(mosquitto*, void* self, int messageId);
  void Run();
  void SayState(bool connected, const std::string& reason);
  void Say(const std::string& text) const;
  void GiveUp(const std::string& reason);
  bool Sleep(int seconds);  // false when closing
  // Whether a TCP connection to the broker can be made now; false, with the reason, when not
  // or when closing.
  bool Reach(std::string& reason);
  // After a TLS failure before the broker answered: true, having given up, when the broker's
  // certificate did not verify (its cause named: another host's, expired, an unknown CA). A
  // certificate not valid yet is tried again, with the reason set to say so.
  bool CertificateRejected(std::string& reason);

  // One robot's status topic, the caller's own.
  struct Robot {
    std::string name;
    Pace pace;
    std::chrono::steady_clock::time_point last;
    double lastUnixTime = 0;
    bool live = false;
    double since = 0;
  };
  void Arrived(const Arrival& arrival);
  void PublishStatus(const std::string& name, const std::string& json);
  void PublishBridgeState(const char* state);

  const Report say_;  // from the caller's thread and the bridge's own
  mosquitto* client_ = nullptr;
  BrokerSettings settings_;
  std::thread thread_;
  std::atomic<int> reported_{-1};  // -1 nothing said yet, 0 unreachable, 1 connected
  std::atomic<bool> closing_{false};
  std::atomic<bool> refused_{false};            // the broker turned the connection down
  std::atomic<bool> answered_{false};           // the broker answered this connection (CONNACK)
  std::atomic<bool> accepted_{false};           // and took it
  std::atomic<std::uint64_t> notDelivered_{0};  // QoS 0 ones the library let go at a reconnect
  std::chrono::steady_clock::time_point connectedAt_;  // the bridge thread's own
  bool publishFailureSaid_ = false;                    // the caller's own
  bool backlogSaid_ = false;                           // the caller's own
  std::uint64_t droppedForBacklog_ = 0;                // the caller's own
  std::uint64_t droppedWhileAway_ = 0;                 // the caller's own
  std::uint64_t notPublished_ = 0;                     // the caller's own: the library refused them
  std::atomic<int> waiting_{0};
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable ended_;  // the bridge's thread has ended
  bool runEnded_ = false;
  std::string fatal_;
  std::string bridgeTopic_;              // PREFIX/bridge/<client id>/status
  std::map<std::string, Robot> robots_;  // by sender; the caller's own
  std::atomic<bool> republish_{false};   // connected afresh: every status again
  std::chrono::steady_clock::time_point lastTick_;
};

}  // namespace receiver
