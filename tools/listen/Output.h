#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "tools/listen/Arrival.h"

namespace receiver {

// Says one thing to the operator (the listener writes "jointcast-listen: TEXT" to stderr).
using Report = std::function<void(const std::string&)>;

// Where received datagrams go: the printer, the recording, the MQTT bridge, the live view. The
// receiver hands every datagram to every output, in arrival order, from its one thread.
class Output {
 public:
  virtual ~Output() = default;

  // Takes one datagram. Returns at once, whatever the output's own destination is doing:
  // receiving waits for it. What the output cannot keep up with it drops and counts.
  virtual void Take(const Arrival& arrival) = 0;
  // Starts finishing what it holds, without waiting: every output is told before any is waited
  // for, so that their deadlines run side by side.
  virtual void BeginClose() {}
  // Finishes what it holds, up to the deadline, and stops; what is left then is lost.
  virtual void Close(std::chrono::steady_clock::time_point deadline) = 0;
  // Called at every turn of the receiving loop, at least five times a second, on the receiving
  // thread: for what an output does when nothing comes.
  virtual void Tick(std::chrono::steady_clock::time_point) {}
  // Opens its file again, after a rotation (SIGHUP). Returns at once.
  virtual void Reopen() {}
  // Datagrams it lost, dropped or not written, so far.
  virtual std::uint64_t Lost() const = 0;
  // For the summary, after Close: one line on what was lost and why, empty when nothing was.
  virtual std::string LossLine() const = 0;
  // Its name in the metrics: "stdout", "csv", "mqtt", "live_view".
  virtual std::string Label() const = 0;
};

}  // namespace receiver
