#include "tools/listen/MqttBridge.h"

#include <mosquitto.h>

#include <cmath>
#include <cstdio>

namespace receiver {

std::string PositionTopic(std::string_view prefix, std::string_view sender) {
  return std::string(prefix) + "/" + std::string(sender) + "/axis_act";
}

std::string PositionJson(double unixTime, std::string_view sender, std::string_view payload) {
  char time[40];
  std::snprintf(time, sizeof time, "%.6f", unixTime);
  std::string json =
      "{\"time\":" + std::string(time) + ",\"sender\":\"" + std::string(sender) + "\",\"axes\":[";
  // The well-formed payload's values are JSON numbers as they stand.
  for (char c : payload) json += c == ' ' ? ',' : c;
  return json + "]}";
}

MqttBridge::~MqttBridge() {
  if (client_ == nullptr) return;
  closing_ = true;  // a disconnect of our own is no news
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, true);
  mosquitto_destroy(client_);
  mosquitto_lib_cleanup();
}

bool MqttBridge::Start(const std::string& host, int port, std::string prefix, std::string& error) {
  prefix_ = std::move(prefix);
  mosquitto_lib_init();
  client_ = mosquitto_new(nullptr, true, this);
  if (client_ == nullptr) {
    error = "cannot create an MQTT client";
    return false;
  }
  mosquitto_connect_callback_set(client_, OnConnect);
  mosquitto_disconnect_callback_set(client_, OnDisconnect);
  mosquitto_reconnect_delay_set(client_, 1, 30, true);
  if (mosquitto_connect_async(client_, host.c_str(), port, 30) != MOSQ_ERR_SUCCESS) {
    Report(false);  // the library's thread keeps trying
  }
  if (mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
    error = "cannot start the MQTT client's thread";
    return false;
  }
  return true;
}

void MqttBridge::Publish(double unixTime, std::string_view sender, std::string_view payload) {
  if (client_ == nullptr) return;
  const std::string topic = PositionTopic(prefix_, sender);
  const std::string json = PositionJson(unixTime, sender, payload);
  // Not connected: the position is dropped; the next one goes out once the broker is back.
  mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(json.size()), json.data(), 0,
                    true);
}

void MqttBridge::OnConnect(mosquitto*, void* self, int result) {
  static_cast<MqttBridge*>(self)->Report(result == 0);
}

void MqttBridge::OnDisconnect(mosquitto*, void* self, int) {
  auto* bridge = static_cast<MqttBridge*>(self);
  if (!bridge->closing_) bridge->Report(false);
}

void MqttBridge::Report(bool connected) {
  const int state = connected ? 1 : 0;
  if (reported_.exchange(state) == state) return;
  std::fprintf(stderr, "jointcast-listen: %s\n",
               connected ? "broker connected" : "broker unreachable");
}

}  // namespace receiver
