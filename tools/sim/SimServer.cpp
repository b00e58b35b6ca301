#include "tools/sim/SimServer.h"

#include <algorithm>

namespace simserver {
namespace {

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace

proxy::Reply Answer(const proxy::Request& request, const sim::SimulatedArm& arm,
                    std::uint32_t armTimeMs) {
  proxy::Reply reply;
  reply.id = request.id;
  const std::string name = Upper(request.name);
  if (name == "$AXIS_ACT") {
    reply.value = arm.AxisActValue(armTimeMs);
  } else if (name == "$MODE_OP") {
    reply.value = "#T1";
  } else if (name == "PING") {
    reply.value = "PONG";
  }
  // Every variable of the simulated controller is read-only: a write is refused, with the value
  // the variable keeps, as a controller's proxy answers a write it does not carry out.
  reply.success = request.mode == 0 && !reply.value.empty();
  return reply;
}

bool ClientSession::Receive(const std::uint8_t* data, std::size_t length, Clock::time_point now,
                            std::chrono::milliseconds latency,
                            std::chrono::milliseconds readLatency) {
  lastHeard_ = now;
  decoder_.Feed(data, length);
  bool completed = false;
  while (auto request = decoder_.Next()) {
    completed = true;
    if (queue_.size() >= kMaxQueued) return false;
    // One request at a time: each starts when the previous one has been answered.
    const Clock::time_point start = queue_.empty() ? now : std::max(now, queue_.back().due);
    const bool read = request->mode == 0 && Upper(request->name) == "$AXIS_ACT";
    queue_.push_back({std::move(*request), start + (read ? readLatency : latency)});
  }
  // A frame left incomplete is timed from now when others were completed meanwhile.
  if (decoder_.Buffered() == 0) {
    incompleteSince_.reset();
  } else if (!incompleteSince_ || completed) {
    incompleteSince_ = now;
  }
  return !decoder_.Malformed();
}

bool ClientSession::Stalled(Clock::time_point now) const {
  if (incompleteSince_ && now - *incompleteSince_ > kIncompleteLimit) return true;
  return queue_.empty() && output_.empty() && now - lastHeard_ > kIdleLimit;
}

void ClientSession::Answer(Clock::time_point now, const sim::SimulatedArm& arm,
                           Clock::time_point armStart) {
  while (!queue_.empty() && queue_.front().due <= now && output_.size() < kMaxOutput) {
    const auto armTime = std::chrono::duration_cast<std::chrono::milliseconds>(now - armStart);
    const proxy::Reply reply =
        simserver::Answer(queue_.front().request, arm, static_cast<std::uint32_t>(armTime.count()));
    const auto bytes = proxy::EncodeReply(reply.id, reply.value, reply.success);
    output_.insert(output_.end(), bytes.begin(), bytes.end());
    queue_.pop_front();
    ++answered_;
  }
}

bool ClientSession::NextDue(Clock::time_point& due) const {
  if (queue_.empty()) return false;
  due = queue_.front().due;
  return true;
}

}  // namespace simserver
