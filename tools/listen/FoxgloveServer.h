#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/listen/Output.h"

struct mg_context;
struct mg_connection;

namespace receiver {

// The message for one datagram on a robot's channel: foxglove.JointStates in JSON, the six
// joints A1..A6 with their positions in radians, stamped with the arrival time.
std::string JointStatesJson(double unixTime, const std::string& payload);
// The JSON schema of foxglove.JointStates, as the channel advertises it.
extern const char* const kJointStatesSchema;

// A Foxglove WebSocket server (subprotocol foxglove.websocket.v1), so that Foxglove and Lichtblick
// plot the joints and move a robot model in their 3D panel. One channel per robot,
// /<robot>/joint_states, advertised as the robot appears and taken back once it has been silent
// for an hour; each datagram is one message, its log time the arrival time in nanoseconds.
//
// Bounded like the live view: civetweb's threads of its own, at most kMaxClients, a request must
// name this server (the Host check), and a client that does not read loses its place: its
// queue of kMostWaiting messages fills and it is dropped, or it answers no ping. Receiving only
// ever waits for a short lock.
class FoxgloveServer : public Output {
 public:
  static constexpr int kMaxClients = 8;
  static constexpr std::size_t kMostWaiting = 2000;
  static constexpr std::size_t kMostChannels = 4096;
  static constexpr std::chrono::hours kForgetAfter{1};

  FoxgloveServer() = default;
  ~FoxgloveServer() override;
  FoxgloveServer(const FoxgloveServer&) = delete;
  FoxgloveServer& operator=(const FoxgloveServer&) = delete;

  // Serves on ADDRESS:PORT; false, with the reason, when it cannot.
  bool Start(const std::string& address, int port, std::string& error,
             const std::vector<std::string>& extraNames = {});

  void Take(const Arrival& arrival) override;
  void Tick(std::chrono::steady_clock::time_point now) override;
  void Close(std::chrono::steady_clock::time_point deadline) override;
  std::uint64_t Lost() const override { return 0; }  // a client shows the latest, by design
  std::string LossLine() const override { return {}; }
  std::string Label() const override { return "foxglove"; }

 private:
  struct Channel {
    std::uint32_t id = 0;
    std::string topic;
    std::chrono::steady_clock::time_point last;
  };
  struct Client {
    mg_connection* connection = nullptr;
    std::map<std::uint32_t, std::uint32_t> subscriptions;  // subscription id to channel id
    std::deque<std::pair<bool, std::string>> queue;        // binary?, frame
    bool closed = false;
    bool failed = false;
    std::condition_variable wake;
    std::thread writer;
  };

  static int OnConnect(const mg_connection* connection, void* self);
  static void OnReady(mg_connection* connection, void* self);
  static int OnData(mg_connection* connection, int bits, char* data, std::size_t length,
                    void* self);
  static void OnClose(const mg_connection* connection, void* self);
  void Write(std::shared_ptr<Client> client);
  void Enqueue(Client& client, bool binary, std::string frame);  // under mutex_
  void Broadcast(const std::string& text);                       // under mutex_
  std::string Advertise(const std::vector<const Channel*>& channels) const;

  mg_context* server_ = nullptr;
  std::vector<std::string> knownNames_;
  std::mutex mutex_;
  std::map<std::string, Channel> channels_;     // by sender
  std::map<std::string, std::string> topicOf_;  // sender to its name, for renames
  std::uint32_t nextChannel_ = 1;
  std::map<const mg_connection*, std::shared_ptr<Client>> clients_;
  int connecting_ = 0;  // accepted, not yet ready
  std::chrono::steady_clock::time_point lastForget_{};
};

}  // namespace receiver
