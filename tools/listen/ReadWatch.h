#pragma once

#include <chrono>
#include <cstdint>

namespace receiver {

// Tells whether the other end of one of our TCP connections reads what it is sent, from the
// window it advertises: a page that reads keeps it at its widest, one that does not lets it
// shrink as its buffer fills. Without this, the kernel would take a silent page's events for
// minutes before a write failed, and the page would hold its place all that time.
class ReadWatch {
 public:
  using Clock = std::chrono::steady_clock;

  // Finds the connection's socket by its two ends (the server does not hand it out). Where it
  // cannot be found, every page counts as reading.
  ReadWatch(int localPort, const char* remoteAddress, int remotePort, Clock::time_point now);
  // False once the other end has read nothing for the limit while there was something to read.
  bool Reading(Clock::time_point now, Clock::duration limit);

 private:
  int socket_ = -1;
  std::uint32_t widest_ = 0;  // the widest window seen
  Clock::time_point lastRead_;
};

}  // namespace receiver
