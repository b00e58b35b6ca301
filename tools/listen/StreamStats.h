#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace receiver {

// True for exactly the published format: six fields "-?[0-9]+\.[0-9]{6}" ("-12.500000"),
// separated by single spaces, nothing else, and no more than 12 integer digits (no value of
// magnitude 1e12 or more is ever sent).
bool IsPositionDatagram(std::string_view payload);

// The payload made printable for one terminal line: control and non-ASCII bytes as \xNN,
// at most maxBytes of it, "..." when cut.
std::string Printable(std::string_view payload, std::size_t maxBytes = 80);

struct IntervalSummary {
  std::size_t count = 0;
  double mean = 0, median = 0, p99 = 0, max = 0;
};

// Intervals in milliseconds; p99 is the nearest-rank percentile.
IntervalSummary Summarize(std::vector<double> intervals);

}  // namespace receiver
