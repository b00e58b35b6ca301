#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "tools/listen/Metrics.h"
#include "tools/listen/Pace.h"
#include "tools/listen/SenderNames.h"
#include "tools/listen/StreamStats.h"

namespace receiver {

// What the receiver keeps per sender address (a publisher that restarts keeps its address but
// not its port): datagrams, malformed ones, and the intervals between them. The table is capped,
// so that a flood from many addresses cannot grow it without end; senders beyond the cap are
// counted together.
class SenderTable {
 public:
  static constexpr std::size_t kMaxListed = 4096;
  static constexpr std::size_t kMaxCountedUnlisted = 65536;  // then "at least"

  // Counts one datagram that arrived at the time; gives the interval since the same sender's
  // previous one, none for its first.
  std::optional<double> Count(in_addr from, const std::string& address,
                              std::chrono::steady_clock::time_point arrived, bool wellFormed);
  std::size_t Listed() const { return listed_.size(); }
  // Senders in the table heard from at the time or after it (walks the table).
  std::size_t HeardSince(std::chrono::steady_clock::time_point since) const;
  // Each sender in the table as Prometheus sees it, by name, at the time (walks the table).
  std::vector<RobotMetrics> Metrics(std::chrono::steady_clock::time_point now,
                                    const SenderNames& names) const;
  // A line per sender, its name from names once there are several; then one for the rest.
  void PrintSummary(std::FILE* out, const SenderNames& names) const;

 private:
  struct Tally {
    std::uint64_t received = 0;
    std::uint64_t malformed = 0;
    IntervalHistogram intervals;  // ms between consecutive datagrams of this sender
    Pace pace;
    std::chrono::steady_clock::time_point previous;
  };

  std::map<std::string, Tally> listed_;
  Tally unlisted_;
  std::unordered_set<std::uint32_t> unlistedAddresses_;  // to count them, up to a bound
};

}  // namespace receiver
