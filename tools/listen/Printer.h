#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "tools/listen/QueuedOutput.h"

namespace receiver {

// One line per datagram on a file descriptor (standard output):
//   12:03:10.123 robot-7   +200.1 ms  1.500000 -2.250000 ...
// its local arrival time, its sender's name once several send, the interval since that
// sender's previous one ("first" for its first), then the payload made printable, with
// MALFORMED before one not in the published format. Quiet: only the malformed ones.
class Printer : public Sink {
 public:
  Printer(int fd, bool quiet) : fd_(fd), quiet_(quiet) {}

  static std::string Line(const Arrival& arrival);

  bool Wants(const Arrival& arrival) const override { return !quiet_ || !arrival.wellFormed; }
  void Write(const Arrival& arrival, const std::atomic<bool>& stop) override;
  void Finish(const std::atomic<bool>&) override {}
  std::uint64_t NotWritten() const override { return notWritten_; }
  std::string Losses(std::uint64_t notWritten, std::uint64_t dropped) const override;
  std::string Label() const override { return "stdout"; }

 private:
  const int fd_;
  const bool quiet_;
  std::uint64_t notWritten_ = 0;
};

}  // namespace receiver
