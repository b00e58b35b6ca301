#include "tools/listen/FoxgloveServer.h"

#include <civetweb.h>
#include <pthread.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <numbers>

#include "platform/HostLookup.h"
#include "tools/listen/HostCheck.h"
#include "tools/listen/JsonText.h"

namespace receiver {
namespace {

constexpr const char* kSubprotocol = "foxglove.websocket.v1";
constexpr unsigned char kMessageData = 1;  // the binary opcode of a message

std::string Number(double value) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void AppendLittleEndian(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

}  // namespace

const char* const kJointStatesSchema =
    R"({"title":"foxglove.JointStates","type":"object","properties":{)"
    R"("timestamp":{"type":"object","properties":{"sec":{"type":"integer","minimum":0},)"
    R"("nsec":{"type":"integer","minimum":0,"maximum":999999999}}},)"
    R"("joints":{"type":"array","items":{"type":"object","properties":{"name":{"type":"string"},)"
    R"("position":{"type":"number","description":"radians"},"velocity":{"type":"number"},)"
    R"("effort":{"type":"number"}}}}}})";

std::string JointStatesJson(double unixTime, const std::string& payload) {
  const double seconds = std::floor(unixTime);
  std::string json =
      "{\"timestamp\":{\"sec\":" + std::to_string(static_cast<long long>(seconds)) +
      ",\"nsec\":" + std::to_string(static_cast<long long>((unixTime - seconds) * 1e9)) +
      "},\"joints\":[";
  const char* at = payload.data();
  const char* end = payload.data() + payload.size();
  for (int i = 0; i < 6; ++i) {
    double degrees = 0;
    const auto [next, error] = std::from_chars(at, end, degrees);
    at = next < end ? next + 1 : next;
    json += (i > 0 ? "," : "") + std::string("{\"name\":\"A") + std::to_string(i + 1) +
            "\",\"position\":" + Number(degrees * std::numbers::pi / 180.0) + "}";
  }
  return json + "]}";
}

FoxgloveServer::~FoxgloveServer() {
  FoxgloveServer::Close({});  // its own, not an override
  if (server_ != nullptr) {
    mg_stop(server_);
    server_ = nullptr;
  }
}

bool FoxgloveServer::Start(const std::string& address, int port, std::string& error,
                           const std::vector<std::string>& extraNames) {
  knownNames_ = MachineNames();
  knownNames_.insert(knownNames_.end(), extraNames.begin(), extraNames.end());
  const std::optional<platform::IPv4Address> ip = platform::ResolveIPv4(address, error);
  if (!ip) return false;
  char listening[32];
  std::snprintf(listening, sizeof listening, "%u.%u.%u.%u:%d", (*ip)[0], (*ip)[1], (*ip)[2],
                (*ip)[3], port);
  const std::string workers = std::to_string(kMaxClients + 4);
  const char* options[] = {"listening_ports", listening, "num_threads", workers.c_str(),
                           "request_timeout_ms", "5000", "max_request_size", "16384",
                           // A client that answers no ping for 10 s is closed.
                           "websocket_timeout_ms", "5000", "enable_websocket_ping_pong", "yes",
                           nullptr};
  mg_callbacks callbacks{};
  mg_init_library(0);
  server_ = mg_start(&callbacks, this, options);
  if (server_ == nullptr) {
    error = "the WebSocket server did not start (port in use?)";
    return false;
  }
  static const char* subprotocols[] = {kSubprotocol};
  static mg_websocket_subprotocols accepted{1, subprotocols};
  mg_set_websocket_handler_with_subprotocols(server_, "/", &accepted, &FoxgloveServer::OnConnect,
                                             &FoxgloveServer::OnReady, &FoxgloveServer::OnData,
                                             &FoxgloveServer::OnClose, this);
  return true;
}

int FoxgloveServer::OnConnect(const mg_connection* connection, void* self) {
  auto* server = static_cast<FoxgloveServer*>(self);
  const char* host = mg_get_header(connection, "Host");
  if (!HostAllowed(host != nullptr ? host : "", server->knownNames_)) return 1;  // refused
  std::lock_guard<std::mutex> lock(server->mutex_);
  if (static_cast<int>(server->clients_.size()) + server->connecting_ >= kMaxClients) return 1;
  ++server->connecting_;
  return 0;
}

std::string FoxgloveServer::Advertise(const std::vector<const Channel*>& channels) const {
  std::string json = R"({"op":"advertise","channels":[)";
  for (std::size_t i = 0; i < channels.size(); ++i) {
    json += (i > 0 ? "," : "") + std::string(R"({"id":)") + std::to_string(channels[i]->id) +
            R"(,"topic":)";
    AppendJsonString(json, channels[i]->topic);
    json +=
        R"(,"encoding":"json","schemaName":"foxglove.JointStates","schemaEncoding":"jsonschema","schema":)";
    AppendJsonString(json, kJointStatesSchema);
    json += "}";
  }
  return json + "]}";
}

void FoxgloveServer::OnReady(mg_connection* connection, void* self) {
  auto* server = static_cast<FoxgloveServer*>(self);
  auto client = std::make_shared<Client>();
  client->connection = connection;
  std::lock_guard<std::mutex> lock(server->mutex_);
  --server->connecting_;
  server->Enqueue(*client, false,
                  R"({"op":"serverInfo","name":"jointcast-listen","capabilities":[],)"
                  R"("supportedEncodings":["json"],"metadata":{}})");
  std::vector<const Channel*> all;
  for (const auto& [sender, channel] : server->channels_) all.push_back(&channel);
  if (!all.empty()) server->Enqueue(*client, false, server->Advertise(all));
  server->clients_[connection] = client;
  client->writer = std::thread([server, client] { server->Write(client); });
  pthread_setname_np(client->writer.native_handle(), "foxglove-write");
}

int FoxgloveServer::OnData(mg_connection* connection, int bits, char* data, std::size_t length,
                           void* self) {
  auto* server = static_cast<FoxgloveServer*>(self);
  {
    // One that fell behind and lost its place is closed at the next frame it sends (its answer
    // to a ping, at the latest).
    std::lock_guard<std::mutex> lock(server->mutex_);
    const auto found = server->clients_.find(connection);
    if (found != server->clients_.end() && found->second->failed) return 0;
  }
  if ((bits & 0x0f) != MG_WEBSOCKET_OPCODE_TEXT) return 1;  // pings and the like: civetweb's
  const nlohmann::json message = nlohmann::json::parse(data, data + length, nullptr, false);
  if (!message.is_object() || !message.contains("op") || !message["op"].is_string()) return 1;
  const std::string op = message["op"];
  std::lock_guard<std::mutex> lock(server->mutex_);
  const auto found = server->clients_.find(connection);
  if (found == server->clients_.end()) return 1;
  Client& client = *found->second;
  if (op == "subscribe" && message.contains("subscriptions") &&
      message["subscriptions"].is_array()) {
    for (const auto& subscription : message["subscriptions"]) {
      if (!subscription.is_object() || !subscription.contains("id") ||
          !subscription.contains("channelId") || !subscription["id"].is_number_unsigned() ||
          !subscription["channelId"].is_number_unsigned()) {
        continue;
      }
      // Only channels that are advertised, and each once: a client cannot make the receiving
      // thread build a message many times over.
      const auto channelId = subscription["channelId"].get<std::uint32_t>();
      const bool advertised =
          std::any_of(server->channels_.begin(), server->channels_.end(),
                      [&](const auto& entry) { return entry.second.id == channelId; });
      const bool taken = std::any_of(client.subscriptions.begin(), client.subscriptions.end(),
                                     [&](const auto& entry) { return entry.second == channelId; });
      if (advertised && !taken) {
        client.subscriptions[subscription["id"].get<std::uint32_t>()] = channelId;
      }
    }
  } else if (op == "unsubscribe" && message.contains("subscriptionIds") &&
             message["subscriptionIds"].is_array()) {
    for (const auto& id : message["subscriptionIds"]) {
      if (id.is_number_unsigned()) client.subscriptions.erase(id.get<std::uint32_t>());
    }
  }
  return 1;
}

void FoxgloveServer::OnClose(const mg_connection* connection, void* self) {
  auto* server = static_cast<FoxgloveServer*>(self);
  std::shared_ptr<Client> client;
  {
    std::lock_guard<std::mutex> lock(server->mutex_);
    const auto found = server->clients_.find(connection);
    if (found == server->clients_.end()) {
      if (server->connecting_ > 0) --server->connecting_;  // refused, or gone before ready
      return;
    }
    client = found->second;
    client->closed = true;
    server->clients_.erase(found);
  }
  client->wake.notify_all();
  // The connection goes once this returns: its writer must be done with it.
  if (client->writer.joinable()) client->writer.join();
}

void FoxgloveServer::Write(std::shared_ptr<Client> client) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    client->wake.wait(lock,
                      [&] { return client->closed || client->failed || !client->queue.empty(); });
    if (client->closed) return;
    if (client->failed) {
      // It lost its place: told so (1008, policy) should it read again, and the connection
      // ends then, or at its next frame (OnData).
      lock.unlock();
      mg_lock_connection(client->connection);
      mg_websocket_write(client->connection, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, "\x03\xf0", 2);
      mg_unlock_connection(client->connection);
      return;
    }
    auto [binary, frame] = std::move(client->queue.front());
    client->queue.pop_front();
    lock.unlock();
    mg_lock_connection(client->connection);
    const int wrote = mg_websocket_write(
        client->connection, binary ? MG_WEBSOCKET_OPCODE_BINARY : MG_WEBSOCKET_OPCODE_TEXT,
        frame.data(), frame.size());
    mg_unlock_connection(client->connection);
    lock.lock();
    if (wrote <= 0) {
      client->failed = true;
      client->queue.clear();
    }
  }
}

void FoxgloveServer::Enqueue(Client& client, bool binary, std::string frame) {
  if (client.closed || client.failed) return;
  if (client.queue.size() >= kMostWaiting) {
    // It does not read: its place goes to another. The writer stops, and the ping that is not
    // answered ends the connection.
    client.failed = true;
    client.queue.clear();
    client.wake.notify_all();
    return;
  }
  client.queue.emplace_back(binary, std::move(frame));
  client.wake.notify_all();
}

void FoxgloveServer::Broadcast(const std::string& text) {
  for (auto& [connection, client] : clients_) Enqueue(*client, false, text);
}

void FoxgloveServer::Take(const Arrival& arrival) {
  if (!arrival.wellFormed) return;
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = channels_.find(arrival.address);
  const std::string topic = "/" + arrival.name + "/joint_states";
  if (found != channels_.end() && found->second.topic != topic) {  // renamed: a new channel
    Broadcast(R"({"op":"unadvertise","channelIds":[)" + std::to_string(found->second.id) + "]}");
    channels_.erase(found);
    found = channels_.end();
  }
  if (found == channels_.end()) {
    if (channels_.size() >= kMostChannels) return;
    found = channels_.emplace(arrival.address, Channel{nextChannel_++, topic, {}}).first;
    Broadcast(Advertise({&found->second}));
  }
  Channel& channel = found->second;
  channel.last = arrival.steadyTime;
  std::string json;
  for (auto& [connection, client] : clients_) {
    if (client->failed || client->closed) continue;
    for (const auto& [subscription, channelId] : client->subscriptions) {
      if (channelId != channel.id) continue;
      if (json.empty()) json = JointStatesJson(arrival.unixTime, arrival.payload);
      std::string frame(1, static_cast<char>(kMessageData));
      AppendLittleEndian(frame, subscription, 4);
      AppendLittleEndian(frame, static_cast<std::uint64_t>(arrival.unixTime * 1e9), 8);
      frame += json;
      Enqueue(*client, true, std::move(frame));
    }
  }
}

void FoxgloveServer::Tick(std::chrono::steady_clock::time_point now) {
  if (now - lastForget_ < std::chrono::seconds(1)) return;
  lastForget_ = now;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = channels_.begin(); it != channels_.end();) {
    if (now - it->second.last < kForgetAfter) {
      ++it;
      continue;
    }
    Broadcast(R"({"op":"unadvertise","channelIds":[)" + std::to_string(it->second.id) + "]}");
    it = channels_.erase(it);
  }
}

void FoxgloveServer::Close(std::chrono::steady_clock::time_point) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [connection, client] : clients_) {
    client->closed = true;
    client->wake.notify_all();
  }
}

}  // namespace receiver
