#pragma once

#include <cstddef>
#include <cstdint>
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

// The intervals of one sender for months, in fixed memory: count, mean and maximum exactly, the
// median and p99 from a histogram of buckets 2 % wide (from 0.01 ms to over an hour), so each is
// within 1 % of the true value (the bucket's middle).
class IntervalHistogram {
 public:
  static constexpr double kLowestMs = 0.01;
  static constexpr double kBucketRatio = 1.02;
  static constexpr std::size_t kBuckets = 1000;  // up to 0.01 ms * 1.02^1000, about 4 hours

  void Add(double ms);
  IntervalSummary Summary() const;

 private:
  std::vector<std::uint32_t> counts_ = std::vector<std::uint32_t>(kBuckets + 1);  // last: more
  std::size_t count_ = 0;
  double sum_ = 0, max_ = 0;
};

}  // namespace receiver
