#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/listen/Output.h"

namespace receiver {

// A destination that may block: a pipe nobody reads, a FIFO, a full or slow disk. Its calls run
// on the output's own thread, one at a time.
class Sink {
 public:
  virtual ~Sink() = default;
  // Whether it wants this datagram at all; asked on the receiving thread, so it must be cheap.
  virtual bool Wants(const Arrival& arrival) const = 0;
  // Writes one. It may wait, but looks at stop at least every 100 ms and gives up when it is set.
  virtual void Write(const Arrival& arrival, const std::atomic<bool>& stop) = 0;
  // Called whenever nothing has come for 200 ms, and after each write (a recorder flushes).
  virtual void Idle() {}
  // Opens its file again (a log rotation renamed it).
  virtual void Reopen() {}
  // The last call: writes out what it holds. stop as for Write.
  virtual void Finish(const std::atomic<bool>& stop) = 0;
  // Datagrams it took but could not write. Read after Finish, or on its own thread.
  virtual std::uint64_t NotWritten() const = 0;
  // The summary's line on what was lost: those it could not write, and those the queue dropped
  // because it did not keep up; empty when both are 0.
  virtual std::string Losses(std::uint64_t notWritten, std::uint64_t dropped) const = 0;
  // Its name in the metrics.
  virtual std::string Label() const = 0;
};

// An output that runs a sink on a thread of its own behind a bounded queue, so receiving never
// waits for it. When the queue is full the datagram is dropped and counted, and the first drop
// is said once.
class QueuedOutput : public Output {
 public:
  static constexpr std::size_t kDefaultCapacity = 10000;  // 4 s of 500 robots at 5/s

  QueuedOutput(std::string what, std::unique_ptr<Sink> sink, Report report,
               std::size_t capacity = kDefaultCapacity);
  ~QueuedOutput() override;
  QueuedOutput(const QueuedOutput&) = delete;
  QueuedOutput& operator=(const QueuedOutput&) = delete;

  void Take(const Arrival& arrival) override;
  void Reopen() override;
  void BeginClose() override;
  void Close(std::chrono::steady_clock::time_point deadline) override;
  std::uint64_t Lost() const override;
  std::string LossLine() const override;
  std::string Label() const override { return sink_->Label(); }

 private:
  void Run();

  const std::string what_;
  const std::unique_ptr<Sink> sink_;
  const Report report_;
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;     // the thread: more to write, or closing
  std::condition_variable drained_;  // Close: the thread has finished
  std::deque<Arrival> queue_;
  bool closing_ = false;
  bool finished_ = false;
  std::atomic<bool> stop_{false};  // the deadline has passed: give up waiting
  bool reopen_ = false;            // the sink is to open its file again
  std::uint64_t dropped_ = 0;      // for a full queue, or left in it at the deadline
  std::thread thread_;
};

}  // namespace receiver
