#include "tools/listen/SparkplugNode.h"

#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <thread>

#include "sparkplug_b.pb.h"

namespace receiver {
namespace {

constexpr const char* kNamespace = "spBv1.0";
constexpr const char* kRebirth = "Node Control/Rebirth";
constexpr const char* kJoints[] = {"A1", "A2", "A3", "A4", "A5", "A6"};
constexpr int kKeepAliveS = 30;

std::uint64_t Milliseconds(double unixTime) {
  return static_cast<std::uint64_t>(unixTime * 1000.0);
}

double UnixNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

sparkplug::Payload::Metric* AddMetric(sparkplug::Payload& payload, const char* name,
                                      sparkplug::DataType type, std::uint64_t timestamp) {
  sparkplug::Payload::Metric* metric = payload.add_metrics();
  metric->set_name(name);
  metric->set_datatype(type);
  metric->set_timestamp(timestamp);
  return metric;
}

// The six values of a well-formed datagram.
bool Values(const std::string& payload, double (&values)[6]) {
  const char* at = payload.data();
  const char* end = payload.data() + payload.size();
  for (double& value : values) {
    const auto [next, error] = std::from_chars(at, end, value);
    if (error != std::errc{}) return false;
    at = next < end ? next + 1 : next;
  }
  return true;
}

}  // namespace

std::string SparkplugNode::GroupProblem(const std::string& group) {
  if (group.empty() || group.find_first_of("/+#") != std::string::npos) {
    return "'" + group + "' cannot be a Sparkplug group id (not empty, no '/', '+' or '#')";
  }
  return {};
}

SparkplugNode::~SparkplugNode() {
  if (client_ == nullptr) return;
  SparkplugNode::Close(std::chrono::steady_clock::now());
  mosquitto_destroy(client_);
}

bool SparkplugNode::Start(const BrokerSettings& settings, std::string& error) {
  node_ = settings.clientId;
  if (node_.empty()) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    node_ = host;
  }
  if (const std::string problem = GroupProblem(node_); !problem.empty()) {
    error = "the edge node id " + problem.substr(problem.find(' '));
    return false;
  }
  mosquitto_lib_init();
  // Its own client id: the JSON bridge's connection may use the node's.
  client_ = mosquitto_new((node_ + "-sparkplug").c_str(), true, this);
  if (client_ == nullptr) {
    error = "cannot create an MQTT client";
    return false;
  }
  mosquitto_connect_callback_set(client_, OnConnect);
  mosquitto_disconnect_callback_set(client_, OnDisconnect);
  mosquitto_message_callback_set(client_, OnMessage);
  mosquitto_publish_callback_set(client_, OnPublished);
  mosquitto_reconnect_delay_set(client_, 1, 30, true);
  int rc = MOSQ_ERR_SUCCESS;
  if (!settings.user.empty()) {
    rc = mosquitto_username_pw_set(client_, settings.user.c_str(),
                                   settings.password.empty() ? nullptr : settings.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && !settings.caFile.empty()) {
    rc = mosquitto_tls_set(client_, settings.caFile.c_str(), nullptr,
                           settings.certFile.empty() ? nullptr : settings.certFile.c_str(),
                           settings.keyFile.empty() ? nullptr : settings.keyFile.c_str(), nullptr);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    error = std::string("Sparkplug MQTT settings: ") + mosquitto_strerror(rc);
    return false;
  }
  SetWill();
  const int port = settings.port != 0 ? settings.port : settings.caFile.empty() ? 1883 : 8883;
  // A broker that is not there yet is no reason to stop: the library's thread tries again.
  mosquitto_connect_async(client_, settings.host.c_str(), port, kKeepAliveS);
  rc = mosquitto_loop_start(client_);
  if (rc != MOSQ_ERR_SUCCESS) {
    error = std::string("Sparkplug: ") + mosquitto_strerror(rc);
    return false;
  }
  return true;
}

std::string SparkplugNode::Topic(const std::string& type, const std::string& device) const {
  return std::string(kNamespace) + "/" + group_ + "/" + type + "/" + node_ +
         (device.empty() ? "" : "/" + device);
}

void SparkplugNode::SetWill() {
  sparkplug::Payload death;
  death.set_timestamp(Milliseconds(UnixNow()));
  AddMetric(death, "bdSeq", sparkplug::Int64, death.timestamp())->set_long_value(bdSeq_ % 256);
  const std::string payload = death.SerializeAsString();
  const std::string topic = Topic("NDEATH", "");
  std::lock_guard<std::mutex> lock(willMutex_);
  mosquitto_will_set(client_, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0,
                     false);
}

void SparkplugNode::OnConnect(mosquitto* client, void* self, int result) {
  auto* node = static_cast<SparkplugNode*>(self);
  if (result != 0) return;  // the library tries again
  const std::string commands = node->Topic("NCMD", "");
  mosquitto_subscribe(client, nullptr, commands.c_str(), 0);
  node->connected_ = true;
  node->birthDue_ = true;  // the receiving thread says it, before any data
  node->Say("Sparkplug: edge node " + node->node_ + " connected");
}

void SparkplugNode::OnDisconnect(mosquitto*, void* self, int) {
  auto* node = static_cast<SparkplugNode*>(self);
  if (!node->connected_.exchange(false)) return;
  // The broker has published this connection's NDEATH: the next connection is a new session.
  ++node->bdSeq_;
  node->SetWill();
}

void SparkplugNode::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* node = static_cast<SparkplugNode*>(self);
  sparkplug::Payload command;
  if (message->payloadlen <= 0 || !command.ParseFromArray(message->payload, message->payloadlen)) {
    return;  // not a Sparkplug payload: nothing to do
  }
  for (const auto& metric : command.metrics()) {
    if (metric.name() == kRebirth &&
        metric.value_case() == sparkplug::Payload::Metric::kBooleanValue &&
        metric.boolean_value()) {
      node->birthDue_ = true;
    }
  }
}

void SparkplugNode::OnPublished(mosquitto*, void* self, int) {
  auto* node = static_cast<SparkplugNode*>(self);
  if (node->waiting_ > 0) --node->waiting_;
}

bool SparkplugNode::Publish(const std::string& type, const std::string& device,
                            const std::string& payload) {
  const std::string topic = Topic(type, device);
  ++waiting_;  // before: the library's thread may say it is written before publish returns
  if (mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                        payload.data(), 0, false) == MOSQ_ERR_SUCCESS) {
    return true;
  }
  --waiting_;
  return false;
}

void SparkplugNode::Birth(double unixTime, std::chrono::steady_clock::time_point now) {
  sparkplug::Payload birth;
  birth.set_timestamp(Milliseconds(unixTime));
  seq_ = 0;
  birth.set_seq(NextSeq());
  AddMetric(birth, "bdSeq", sparkplug::Int64, birth.timestamp())->set_long_value(bdSeq_ % 256);
  AddMetric(birth, kRebirth, sparkplug::Boolean, birth.timestamp())->set_boolean_value(false);
  nodeBorn_ = Publish("NBIRTH", "", birth.SerializeAsString());
  for (auto& [sender, device] : devices_) {
    device.born = false;
    // Only robots still sending: a silent one's last values are not its values now; it is born
    // again at its next datagram.
    const double quietMs = std::chrono::duration<double, std::milli>(now - device.last).count();
    if (nodeBorn_ && device.heard && quietMs <= device.pace.SilenceMs()) {
      DeviceBirth(device, unixTime);
    }
  }
}

void SparkplugNode::DeviceBirth(Device& device, double unixTime) {
  sparkplug::Payload birth;
  birth.set_timestamp(Milliseconds(unixTime));
  birth.set_seq(NextSeq());
  for (int i = 0; i < 6; ++i) {
    auto* metric = AddMetric(birth, kJoints[i], sparkplug::Double, birth.timestamp());
    metric->set_double_value(device.values[i]);  // the last known: a birth has every value
    auto* unit = metric->mutable_properties();
    unit->add_keys("unit");
    auto* value = unit->add_values();
    value->set_type(sparkplug::String);
    value->set_string_value("deg");
  }
  device.born = Publish("DBIRTH", device.name, birth.SerializeAsString());
}

void SparkplugNode::Take(const Arrival& arrival) {
  auto found = devices_.find(arrival.address);
  if (found == devices_.end()) {
    if (devices_.size() >= kMostDevices) return;
    found = devices_.emplace(arrival.address, Device{}).first;
    found->second.name = arrival.name;
  }
  Device& device = found->second;
  if (device.heard) {
    device.pace.Add(
        std::chrono::duration<double, std::milli>(arrival.steadyTime - device.last).count());
  }
  device.heard = true;
  device.last = arrival.steadyTime;
  if (device.name != arrival.name) {  // renamed: a device of another name from now on
    if (device.born && connected_ && nodeBorn_) {
      sparkplug::Payload death;
      death.set_timestamp(Milliseconds(arrival.unixTime));
      death.set_seq(NextSeq());
      Publish("DDEATH", device.name, death.SerializeAsString());
    }
    device.name = arrival.name;
    device.born = false;
  }
  double values[6];
  if (!arrival.wellFormed || !Values(arrival.payload, values)) return;
  std::copy(std::begin(values), std::end(values), std::begin(device.values));
  if (!connected_ || !nodeBorn_ || waiting_ >= kMostWaiting) {
    ++notSent_;  // no broker, or one that does not keep up
    return;
  }
  if (!device.born) DeviceBirth(device, arrival.unixTime);
  sparkplug::Payload data;
  const std::uint64_t at = Milliseconds(arrival.unixTime);
  data.set_timestamp(at);
  data.set_seq(NextSeq());
  for (int i = 0; i < 6; ++i)
    AddMetric(data, kJoints[i], sparkplug::Double, at)->set_double_value(values[i]);
  if (!Publish("DDATA", device.name, data.SerializeAsString())) ++notSent_;
}

void SparkplugNode::Tick(std::chrono::steady_clock::time_point now) {
  if (client_ == nullptr) return;
  if (!connected_) {
    nodeBorn_ = false;
    return;
  }
  if (birthDue_.exchange(false)) Birth(UnixNow(), now);
  // The devices are walked five times a second, not at every turn: in a burst the loop turns
  // once a datagram.
  if (!nodeBorn_ || now - lastWalk_ < std::chrono::milliseconds(200)) return;
  lastWalk_ = now;
  for (auto& [sender, device] : devices_) {
    const double quietMs = std::chrono::duration<double, std::milli>(now - device.last).count();
    if (!device.born || quietMs <= device.pace.SilenceMs()) continue;
    sparkplug::Payload death;
    death.set_timestamp(Milliseconds(UnixNow()));
    death.set_seq(NextSeq());
    Publish("DDEATH", device.name, death.SerializeAsString());
    device.born = false;  // born again at its next datagram
  }
}

void SparkplugNode::Close(std::chrono::steady_clock::time_point deadline) {
  if (client_ == nullptr || stopped_) return;
  stopped_ = true;
  if (connected_.exchange(false)) {
    // A clean stop sends no will: the node says its death itself, after what waits, up to the
    // deadline (and a moment for the NDEATH itself).
    sparkplug::Payload death;
    death.set_timestamp(Milliseconds(UnixNow()));
    AddMetric(death, "bdSeq", sparkplug::Int64, death.timestamp())->set_long_value(bdSeq_ % 256);
    Publish("NDEATH", "", death.SerializeAsString());
    const auto until =
        std::max(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
    while (waiting_ > 0 && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    mosquitto_disconnect(client_);
  }
  // Not waited for: a broker that stopped reading would hold the exit until the keep-alive.
  mosquitto_loop_stop(client_, true);
  notSent_ += static_cast<std::uint64_t>(std::max(0, waiting_.exchange(0)));
}

std::string SparkplugNode::LossLine() const {
  if (notSent_ == 0) return {};
  return "sparkplug: " + std::to_string(notSent_) +
         " positions not sent (no broker connected, or one that did not keep up)";
}

void SparkplugNode::Say(const std::string& text) const {
  if (say_) say_(text);
}

}  // namespace receiver
