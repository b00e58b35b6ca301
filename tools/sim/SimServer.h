#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "lib/proxy/ProxyProtocol.h"
#include "lib/sim/SimulatedArm.h"

namespace simserver {

using Clock = std::chrono::steady_clock;

// The answer the simulated controller gives to a request: $AXIS_ACT, $MODE_OP and PING can be
// read (names in any case); anything else fails with an empty value. Writes are refused
// (status 0) with the variable's current value.
proxy::Reply Answer(const proxy::Request& request, const sim::SimulatedArm& arm,
                    std::uint32_t armTimeMs);

// One client's state: bytes in, requests answered one at a time after the latency, bytes out.
// What one client can make the server hold is bounded, as a server on a network must be.
class ClientSession {
 public:
  static constexpr std::size_t kMaxOutput = 1 << 20;
  static constexpr std::size_t kMaxQueued = 64;  // requests waiting for their answer
  static constexpr std::chrono::seconds kIncompleteLimit{5};
  static constexpr std::chrono::seconds kIdleLimit{30};

  explicit ClientSession(Clock::time_point now = Clock::now()) : lastHeard_(now) {}

  // Returns false when the client must be closed: a malformed frame, or more requests queued
  // than the bound.
  // Reads of $AXIS_ACT take readLatency, every other request latency.
  bool Receive(const std::uint8_t* data, std::size_t length, Clock::time_point now,
               std::chrono::milliseconds latency, std::chrono::milliseconds readLatency);
  // True when the client is to be closed for stalling: a frame begun over 5 s ago and still
  // incomplete, or nothing heard for 30 s with nothing left to answer.
  bool Stalled(Clock::time_point now) const;
  Clock::time_point LastHeard() const { return lastHeard_; }
  // Moves the replies that are due into the output.
  void Answer(Clock::time_point now, const sim::SimulatedArm& arm, Clock::time_point armStart);
  // The time the next reply is due, if any is waiting.
  bool NextDue(Clock::time_point& due) const;
  std::vector<std::uint8_t>& Output() { return output_; }
  std::uint64_t Answered() const { return answered_; }  // replies put into the output so far

 private:
  struct Queued {
    proxy::Request request;
    Clock::time_point due;
  };
  proxy::RequestDecoder decoder_;
  std::deque<Queued> queue_;
  std::vector<std::uint8_t> output_;
  std::uint64_t answered_ = 0;
  Clock::time_point lastHeard_;
  std::optional<Clock::time_point> incompleteSince_;
};

}  // namespace simserver
