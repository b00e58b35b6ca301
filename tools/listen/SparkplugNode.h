#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "tools/listen/MqttBridge.h"
#include "tools/listen/Output.h"
#include "tools/listen/Pace.h"

struct mosquitto;
struct mosquitto_message;

namespace receiver {

// The listener as a Sparkplug B edge node, for SCADA systems, historians and the Node-RED nodes
// that take Sparkplug devices without hand mapping. The node is the listener (its id the MQTT
// client id, or the host name) and each robot a device of it:
//   spBv1.0/GROUP/NBIRTH/NODE         at each connection: bdSeq, Node Control/Rebirth
//   spBv1.0/GROUP/NDEATH/NODE         the connection's last will, with the same bdSeq
//   spBv1.0/GROUP/DBIRTH/NODE/ROBOT   a robot's metrics A1..A6, Double, degrees (property unit)
//   spBv1.0/GROUP/DDATA/NODE/ROBOT    each datagram: the six values at its arrival time
//   spBv1.0/GROUP/DDEATH/NODE/ROBOT   the robot fell silent (the live view's rule); it is born
//                                     again at its next datagram
// Every message after NBIRTH carries seq, 0 to 255 and round again; bdSeq goes up at each
// connection. An NCMD with Node Control/Rebirth true is answered with NBIRTH and the DBIRTHs.
// QoS 0 and never retained, as Sparkplug B asks of these messages.
//
// A connection of its own to the broker: a connection has one last will, and the JSON bridge's
// is its own "offline". libmosquitto's thread connects and reconnects (1 s, growing to 30 s);
// publishing never waits for the broker.
class SparkplugNode : public Output {
 public:
  static constexpr std::size_t kMostDevices = 4096;
  // Messages handed to the library and not yet written; beyond this, new DDATA are dropped and
  // counted rather than queued without end while the broker does not keep up.
  static constexpr int kMostWaiting = 10000;

  SparkplugNode(std::string group, Report say = {})
      : group_(std::move(group)), say_(std::move(say)) {}
  ~SparkplugNode() override;
  SparkplugNode(const SparkplugNode&) = delete;
  SparkplugNode& operator=(const SparkplugNode&) = delete;

  // Why the group id cannot be one (a '/', '+' or '#'), or empty when it can.
  static std::string GroupProblem(const std::string& group);

  // False, with the reason, when the client cannot be set up.
  bool Start(const BrokerSettings& settings, std::string& error);

  void Take(const Arrival& arrival) override;
  void Tick(std::chrono::steady_clock::time_point now) override;
  void Close(std::chrono::steady_clock::time_point deadline) override;
  std::uint64_t Lost() const override { return notSent_; }
  std::string LossLine() const override;
  std::string Label() const override { return "sparkplug"; }

 private:
  struct Device {
    std::string name;
    Pace pace;
    std::chrono::steady_clock::time_point last;
    bool born = false;  // its DBIRTH went out on this connection, and no DDEATH since
    bool heard = false;
    double values[6] = {};  // its last, for a birth
  };

  static void OnConnect(mosquitto*, void* self, int result);
  static void OnDisconnect(mosquitto*, void* self, int result);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
  static void OnPublished(mosquitto*, void* self, int messageId);
  // The will for the next connection: NDEATH with its bdSeq.
  void SetWill();
  void Birth(double unixTime, std::chrono::steady_clock::time_point now);
  void DeviceBirth(Device& device, double unixTime);
  bool Publish(const std::string& type, const std::string& device, const std::string& payload);
  std::string Topic(const std::string& type, const std::string& device) const;
  std::uint64_t NextSeq() { return seq_++ % 256; }
  void Say(const std::string& text) const;

  const std::string group_;
  const Report say_;
  std::string node_;
  mosquitto* client_ = nullptr;
  std::atomic<bool> connected_{false};
  std::atomic<bool> birthDue_{false};  // connected, or a rebirth asked for: NBIRTH at the next turn
  std::atomic<std::uint64_t> bdSeq_{0};  // of the connection under way, or the next
  std::mutex willMutex_;
  std::atomic<int> waiting_{0};
  bool stopped_ = false;
  std::map<std::string, Device> devices_;  // by sender; the receiving thread's own
  std::uint64_t seq_ = 0;                  // the receiving thread's own
  bool nodeBorn_ = false;                  // the receiving thread's own
  std::chrono::steady_clock::time_point lastWalk_;
  std::uint64_t notSent_ = 0;  // the receiving thread's own
};

}  // namespace receiver
