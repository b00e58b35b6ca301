#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace receiver {

// One datagram as the receiver hands it to the outputs: when it arrived, from whom, what it
// holds, and what the receiver found out about it.
struct Arrival {
  // When the kernel took it in, seconds since 1970: a datagram read late after a stall keeps
  // the time it arrived.
  double unixTime = 0;
  std::chrono::steady_clock::time_point steadyTime;  // the same moment on the steady clock
  std::string
      address;       // the sender: its IPv4 address, ADDRESS:PORT when the names tell ports apart
  std::string name;  // its name, or its address when it has none
  std::string payload;  // as received
  bool wellFormed = false;
  std::optional<double> intervalMs;  // since this sender's previous one; none for its first
  bool severalSenders = false;       // more than one has sent so far
};

}  // namespace receiver
