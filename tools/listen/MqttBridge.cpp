#include "tools/listen/MqttBridge.h"

#include "platform/TcpConnection.h"
#include "tools/listen/JsonText.h"

#include <arpa/inet.h>
#include <mosquitto.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

namespace receiver {
namespace {

constexpr int kKeepAliveS = 30;

constexpr int kProbeTimeoutMs = 3000;
constexpr auto kConnackDeadline = std::chrono::seconds(10);
constexpr auto kStayedUp = std::chrono::seconds(30);

// The library's words; for MOSQ_ERR_ERRNO the system's, from this thread's errno.
std::string Reason(int rc) {
  if (rc == MOSQ_ERR_KEEPALIVE) return "no answer from the broker";
  return mosquitto_strerror(rc);
}

// Whether a TCP connection to the broker can be made now, with the reason when not. The
// library's own connect is not blocking, and with TLS it takes a refused connection for a
// handshake still going on: it would spin until the keep-alive ran out.
bool Reachable(const std::string& host, int port, std::string& reason) {
  return platform::ConnectTcp(host, static_cast<std::uint16_t>(port), kProbeTimeoutMs, reason) !=
         nullptr;
}

// The broker's certificate as a handshake of our own finds it: the chain's verdict against the
// CA file, and whether it names the host. libmosquitto lets its own TLS state go as its handshake
// fails, and its own host name check leaves no cause behind. None when no handshake got as far.
struct CertificateVerdict {
  long verified = X509_V_OK;
  bool forHost = true;
};

std::optional<CertificateVerdict> CheckCertificate(const std::string& host, int port,
                                                   const std::string& caFile) {
  std::string reason;
  const auto connection =
      platform::ConnectTcp(host, static_cast<std::uint16_t>(port), kProbeTimeoutMs, reason);
  if (!connection) return std::nullopt;
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) return std::nullopt;
  SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr);
  SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);  // the verdict is wanted, not an abort
  SSL* ssl = SSL_new(context);
  std::optional<CertificateVerdict> verdict;
  if (ssl != nullptr && SSL_set_fd(ssl, static_cast<int>(connection->Handle())) == 1) {
    in6_addr literal{};
    if (inet_pton(AF_INET, host.c_str(), &literal) != 1 &&
        inet_pton(AF_INET6, host.c_str(), &literal) != 1) {
      SSL_set_tlsext_host_name(ssl, host.c_str());  // a name, not an address: as the library does
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kProbeTimeoutMs);
    for (;;) {  // the socket does not block: wait for it as the handshake asks
      const int result = SSL_connect(ssl);
      const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl, result);
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) || left <= 0) break;
      pollfd ready{static_cast<int>(connection->Handle()),
                   static_cast<short>(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
      poll(&ready, 1, static_cast<int>(left));
    }
    if (X509* leaf = SSL_get_peer_certificate(ssl)) {  // the server's Certificate came
      verdict =
          CertificateVerdict{SSL_get_verify_result(ssl),
                             X509_check_host(leaf, host.c_str(), host.size(), 0, nullptr) == 1 ||
                                 X509_check_ip_asc(leaf, host.c_str(), 0) == 1};
      X509_free(leaf);
    }
  }
  SSL_free(ssl);
  SSL_CTX_free(context);
  return verdict;
}

// One probe's outcome, shared with the thread that makes it.
struct Probe {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool reachable = false;
  std::string reason;
};

}  // namespace

std::string PositionTopic(std::string_view prefix, std::string_view sender) {
  return std::string(prefix) + "/" + std::string(sender) + "/axis_act";
}

std::string TopicPrefixProblem(const std::string& prefix) {
  if (prefix.find_first_of("+#") != std::string::npos) {
    return "'" + prefix + "' holds a wildcard ('+' or '#'), which no message can be published on";
  }
  if (mosquitto_pub_topic_check2(prefix.data(), prefix.size()) != MOSQ_ERR_SUCCESS ||
      mosquitto_validate_utf8(prefix.data(), static_cast<int>(prefix.size())) != MOSQ_ERR_SUCCESS) {
    return "'" + prefix + "' is not a topic (UTF-8, no control characters)";
  }
  return {};
}

std::string PositionJson(double unixTime, std::string_view sender, std::string_view payload) {
  char time[40];
  std::snprintf(time, sizeof time, "%.6f", unixTime);
  std::string json = "{\"time\":" + std::string(time) + ",\"sender\":";
  AppendJsonString(json, sender);
  json += ",\"axes\":[";
  // Each value in its shortest form: a well-formed payload may have leading zeros ("007.5"),
  // which no JSON parser takes.
  for (std::size_t start = 0; start <= payload.size();) {
    std::size_t end = payload.find(' ', start);
    if (end == std::string_view::npos) end = payload.size();
    double value = 0;
    std::from_chars(payload.data() + start, payload.data() + end, value);
    char number[32];
    json.append(number, std::to_chars(number, number + sizeof number, value).ptr);
    json += end == payload.size() ? "]" : ",";
    start = end + 1;
  }
  return json + ",\"unit\":\"deg\",\"joints\":[\"A1\",\"A2\",\"A3\",\"A4\",\"A5\",\"A6\"]}";
}

std::string StatusJson(std::string_view state, double since, std::string_view renamedAs) {
  char time[40];
  std::snprintf(time, sizeof time, "%.3f", since);
  std::string json = "{\"state\":";
  AppendJsonString(json, state);
  json += ",\"since\":" + std::string(time);
  if (!renamedAs.empty()) {
    json += ",\"as\":";
    AppendJsonString(json, renamedAs);
  }
  return json + "}";
}

MqttBridge::~MqttBridge() {
  if (client_ == nullptr) return;
  MqttBridge::Close(std::chrono::steady_clock::now());
  if (thread_.joinable()) thread_.join();  // a thread Close left in a name lookup
  mosquitto_destroy(client_);
  mosquitto_lib_cleanup();
}

void MqttBridge::Take(const Arrival& arrival) {
  Arrived(arrival);
  if (arrival.wellFormed) Publish(arrival.unixTime, arrival.address, arrival.name, arrival.payload);
}

void MqttBridge::Arrived(const Arrival& arrival) {
  auto found = robots_.find(arrival.address);
  if (found == robots_.end()) {
    if (robots_.size() >= kMostRobots) return;  // its positions still go out
    found = robots_.emplace(arrival.address, Robot{}).first;
    found->second.name = arrival.name;
  }
  Robot& robot = found->second;
  if (robot.name != arrival.name) {
    // Renamed in the names file: the old topic says so, and the new one starts live.
    PublishStatus(robot.name, StatusJson("renamed", arrival.unixTime, arrival.name));
    robot.name = arrival.name;
    robot.live = false;
  }
  if (robot.lastUnixTime > 0) {
    robot.pace.Add(
        std::chrono::duration<double, std::milli>(arrival.steadyTime - robot.last).count());
  }
  robot.last = arrival.steadyTime;
  robot.lastUnixTime = arrival.unixTime;
  if (!robot.live) {
    robot.live = true;
    robot.since = arrival.unixTime;
    PublishStatus(robot.name, StatusJson("live", robot.since));
  }
}

void MqttBridge::Tick(std::chrono::steady_clock::time_point now) {
  if (client_ == nullptr || now - lastTick_ < std::chrono::milliseconds(200)) return;
  lastTick_ = now;
  const bool again = republish_.exchange(false);
  for (auto& [sender, robot] : robots_) {
    const double quietMs = std::chrono::duration<double, std::milli>(now - robot.last).count();
    if (robot.live && quietMs > robot.pace.SilenceMs()) {
      // Silent since its last datagram, which is when every view counts it from.
      robot.live = false;
      robot.since = robot.lastUnixTime;
      PublishStatus(robot.name, StatusJson("silent", robot.since));
    } else if (again) {
      PublishStatus(robot.name, StatusJson(robot.live ? "live" : "silent", robot.since));
    }
  }
}

void MqttBridge::PublishStatus(const std::string& name, const std::string& json) {
  if (reported_ != 1) return;  // said again, all of them, once connected
  const std::string topic = settings_.prefix + "/" + name + "/status";
  ++waiting_;
  if (mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(json.size()), json.data(),
                        1, true) != MOSQ_ERR_SUCCESS) {
    --waiting_;
  }
}

void MqttBridge::PublishBridgeState(const char* state) {
  ++waiting_;
  if (mosquitto_publish(client_, nullptr, bridgeTopic_.c_str(),
                        static_cast<int>(std::strlen(state)), state, 1, true) != MOSQ_ERR_SUCCESS) {
    --waiting_;
  }
}

void MqttBridge::Close(std::chrono::steady_clock::time_point deadline) {
  if (client_ == nullptr || !thread_.joinable() || closing_) return;
  // A clean disconnect sends no last will: the bridge says it is going itself.
  if (reported_ == 1) PublishBridgeState("offline");
  // What the library still holds gets until the deadline to reach a connected broker.
  while (reported_ == 1 && waiting_ > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);  // so a Sleep about to wait cannot miss it
    closing_ = true;
  }
  wake_.notify_all();
  mosquitto_disconnect(client_);  // ends a loop that waits on the socket
  // The library looks the broker's name up itself, blocking, when it connects: a resolver that
  // does not answer would hold the exit for 20 s and more. Such a thread is left to the exit.
  std::unique_lock<std::mutex> lock(mutex_);
  const auto least = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  if (!ended_.wait_until(lock, std::max(deadline, least), [this] { return runEnded_; })) return;
  lock.unlock();
  thread_.join();
  notDelivered_ += static_cast<std::uint64_t>(std::max(0, waiting_.load()));
  waiting_ = 0;
}

std::string MqttBridge::LossLine() const {
  std::string line;
  const auto add = [&line](std::uint64_t count, const char* why) {
    if (count == 0) return;
    line += (line.empty() ? "mqtt: " : "; ") + std::to_string(count) + " positions " + why;
  };
  add(droppedForBacklog_, "dropped (the broker did not keep up)");
  add(droppedWhileAway_, "not sent (no broker connected)");
  add(notPublished_, "refused by the library (said above)");
  add(notDelivered_, "handed to the library but never delivered (the connection went)");
  return line;
}

bool MqttBridge::Reach(std::string& reason) {
  // On a thread of its own that owns what it uses: a resolver that does not answer (20 s and
  // more) must not hold the exit, so closing leaves the probe behind.
  auto probe = std::make_shared<Probe>();
  std::thread([probe, host = settings_.host, port = settings_.port] {
    std::string why;
    const bool reachable = Reachable(host, port, why);
    std::lock_guard<std::mutex> lock(probe->mutex);
    probe->reachable = reachable;
    probe->reason = std::move(why);
    probe->finished = true;
    probe->done.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(probe->mutex);
  while (!probe->finished) {
    if (closing_) return false;
    probe->done.wait_for(lock, std::chrono::milliseconds(100));
  }
  reason = probe->reason;
  return probe->reachable;
}

bool MqttBridge::Start(BrokerSettings settings, std::string& error) {
  settings_ = std::move(settings);
  if (settings_.port == 0) settings_.port = settings_.caFile.empty() ? 1883 : 8883;
  mosquitto_lib_init();
  if (settings_.clientId.empty()) {
    // The same at every start, so that the bridge's status topic stays the same too.
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    settings_.clientId = std::string("jointcast-listen-") + host;
  }
  client_ = mosquitto_new(settings_.clientId.c_str(), true, this);
  if (client_ == nullptr) {
    error = "cannot create an MQTT client";
    return false;
  }
  bridgeTopic_ = settings_.prefix + "/bridge/" + settings_.clientId + "/status";
  if (const std::string problem = TopicPrefixProblem(bridgeTopic_); !problem.empty()) {
    error = "the client id cannot be a topic level: " + problem;
    return false;
  }
  mosquitto_threaded_set(client_, true);
  mosquitto_connect_callback_set(client_, OnConnect);
  mosquitto_publish_callback_set(client_, OnPublished);
  int rc = MOSQ_ERR_SUCCESS;
  if (!settings_.user.empty()) {
    rc = mosquitto_username_pw_set(
        client_, settings_.user.c_str(),
        settings_.password.empty() ? nullptr : settings_.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && !settings_.caFile.empty()) {
    rc =
        mosquitto_tls_set(client_, settings_.caFile.c_str(), nullptr,
                          settings_.certFile.empty() ? nullptr : settings_.certFile.c_str(),
                          settings_.keyFile.empty() ? nullptr : settings_.keyFile.c_str(), nullptr);
  }
  if (rc == MOSQ_ERR_SUCCESS) {
    // The broker says "offline" for the bridge when it dies or the connection is lost.
    rc = mosquitto_will_set(client_, bridgeTopic_.c_str(), 7, "offline", 1, true);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    error = std::string("MQTT settings: ") + Reason(rc);
    return false;
  }
  thread_ = std::thread([this] {
    Run();
    std::lock_guard<std::mutex> lock(mutex_);
    runEnded_ = true;
    ended_.notify_all();
  });
  pthread_setname_np(thread_.native_handle(), "mqtt-bridge");
  return true;
}

void MqttBridge::Run() {
  using Clock = std::chrono::steady_clock;
  int backoff = kLeastBackoffS;
  bool first = true;
  while (!closing_) {
    std::string reason;
    if (!Reach(reason)) {
      if (closing_) return;
      SayState(false, reason);
      if (!Sleep(backoff)) return;
      backoff = std::min(backoff * 2, kMostBackoffS);
      continue;
    }
    // Not blocking: the loop below completes the connection (and TLS), waiting on the socket a
    // second at most, so the listener can always end at once.
    const int rc = first ? mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port,
                                                   kKeepAliveS)
                         : mosquitto_reconnect_async(client_);
    if (rc == MOSQ_ERR_SUCCESS) {
      first = false;
      answered_ = false;
      accepted_ = false;
      const auto began = Clock::now();
      int loop = MOSQ_ERR_SUCCESS;
      while (!closing_ && !refused_ && loop == MOSQ_ERR_SUCCESS) {
        loop = mosquitto_loop(client_, 1000, 1);
        if (!answered_ && Clock::now() - began > kConnackDeadline) {
          loop = MOSQ_ERR_NO_CONN;  // no answer from the broker in time
          mosquitto_disconnect(client_);
        }
      }
      if (closing_ || refused_) return;  // refused: GiveUp said so
      std::string reason =
          loop == MOSQ_ERR_NO_CONN && !answered_ ? "no answer from the broker" : Reason(loop);
      if (!settings_.caFile.empty() && !answered_ && CertificateRejected(reason)) return;
      // Back to a short wait only after a connection that was accepted and lasted: a broker
      // that refuses (CONNACK 1 to 3) or drops the client at once (another one with its client
      // id, say) is not hammered.
      if (accepted_ && Clock::now() - connectedAt_ >= kStayedUp) backoff = kLeastBackoffS;
      SayState(false, reason);
    } else {
      // On the loopback the handshake may be over, and failed, before the call returns.
      std::string reason = Reason(rc);
      if (rc == MOSQ_ERR_TLS && CertificateRejected(reason)) return;
      SayState(false, reason);
    }
    if (!Sleep(backoff)) return;
    backoff = std::min(backoff * 2, kMostBackoffS);
  }
}

bool MqttBridge::CertificateRejected(std::string& reason) {
  const std::optional<CertificateVerdict> verdict =
      CheckCertificate(settings_.host, settings_.port, settings_.caFile);
  if (!verdict) return false;  // no handshake: another trouble, passing, tried again
  const long verified = verdict->verified;
  if (verified == X509_V_ERR_CERT_NOT_YET_VALID) {
    // More often this machine's clock than the certificate: a listener started at boot before
    // the clock was set. Tried again, so it connects once the clock is right.
    const std::time_t now = std::time(nullptr);
    char utc[32] = "?";
    std::tm parts{};
    if (gmtime_r(&now, &parts) != nullptr) std::strftime(utc, sizeof utc, "%F %T UTC", &parts);
    reason = std::string("the broker's certificate is not valid yet by this machine's clock (") +
             utc + "); tried again";
    return false;
  }
  if (verified == X509_V_OK && verdict->forHost) return false;  // another TLS trouble
  // A certificate that does not verify does not start to verify by waiting.
  if (verified == X509_V_OK || (!verdict->forHost && verified != X509_V_ERR_CERT_HAS_EXPIRED)) {
    GiveUp("the broker's certificate is not for " + settings_.host + " (the name in --mqtt)");
  } else {
    GiveUp(std::string("the broker's certificate does not verify against --mqtt-cafile: ") +
           X509_verify_cert_error_string(verified));
  }
  return true;
}

bool MqttBridge::Sleep(int seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, std::chrono::seconds(seconds), [this] { return closing_.load(); });
}

void MqttBridge::Publish(double unixTime, std::string_view sender, std::string_view name,
                         std::string_view payload) {
  if (client_ == nullptr) return;
  if (reported_ != 1) {
    ++droppedWhileAway_;
    return;
  }
  if (waiting_ >= kMostWaiting) {
    // The broker does not take them as fast as they come: the library's queue would grow
    // without end, and every position in it would be older than the next.
    ++droppedForBacklog_;
    if (!backlogSaid_) {
      backlogSaid_ = true;
      Say("MQTT: the broker does not keep up; positions are dropped while " +
          std::to_string(kMostWaiting) + " wait to be sent");
    }
    return;
  }
  const std::string topic = PositionTopic(settings_.prefix, name);
  const std::string json = PositionJson(unixTime, sender, payload);
  // Counted before the library has it: its thread may say it is sent before publish returns.
  ++waiting_;
  const int rc = mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(json.size()),
                                   json.data(), settings_.qos, true);
  if (rc != MOSQ_ERR_SUCCESS) {
    --waiting_;
    ++(rc == MOSQ_ERR_NO_CONN ? droppedWhileAway_ : notPublished_);  // the connection just went
  }
  if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN && !publishFailureSaid_) {
    publishFailureSaid_ = true;
    Say("MQTT: cannot publish on " + topic + ": " + mosquitto_strerror(rc));
  }
}

void MqttBridge::OnConnect(mosquitto*, void* self, int result) {
  auto* bridge = static_cast<MqttBridge*>(self);
  bridge->answered_ = true;
  if (result == 0) {
    bridge->accepted_ = true;
    if (bridge->settings_.qos == 0) {
      // The library lets QoS 0 messages that waited for the last connection go with it; at
      // QoS 1 it keeps them and sends them again, so they still count as waiting.
      bridge->notDelivered_ +=
          static_cast<std::uint64_t>(std::max(0, bridge->waiting_.exchange(0)));
    }
    bridge->connectedAt_ = std::chrono::steady_clock::now();
    bridge->SayState(true, "");
    bridge->PublishBridgeState("online");
    bridge->republish_ = true;              // the robots' statuses may have changed while away
  } else if (result == 4 || result == 5) {  // bad user name or password; not authorised
    bridge->GiveUp(std::string("the broker refused the connection: ") +
                   mosquitto_connack_string(result));
  } else {
    bridge->SayState(false, mosquitto_connack_string(result));
  }
}

void MqttBridge::OnPublished(mosquitto*, void* self, int) {
  auto* bridge = static_cast<MqttBridge*>(self);
  if (bridge->waiting_ > 0) --bridge->waiting_;
}

void MqttBridge::Say(const std::string& text) const {
  if (say_) say_(text);
}

void MqttBridge::GiveUp(const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fatal_ = reason;
  }
  refused_ = true;
  Say("MQTT: " + reason);
}

std::string MqttBridge::Fatal() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fatal_;
}

void MqttBridge::SayState(bool connected, const std::string& reason) {
  const int state = connected ? 1 : 0;
  if (reported_.exchange(state) == state) return;
  if (connected) {
    Say("broker connected");
  } else {
    Say("broker unreachable: " + reason);
  }
}

}  // namespace receiver
