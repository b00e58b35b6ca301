#include "tools/listen/StreamStats.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace receiver {
namespace {

// One field as "%f" writes it: -?[0-9]+\.[0-9]{6}, nothing else; at most 12 integer digits,
// as no value of magnitude 1e12 or more is ever sent.
bool IsDecimal(std::string_view field) {
  std::size_t i = field.starts_with('-') ? 1 : 0;
  const std::size_t intStart = i;
  while (i < field.size() && field[i] >= '0' && field[i] <= '9') ++i;
  if (i == intStart || i - intStart > 12 || i == field.size() || field[i] != '.') return false;
  const std::size_t fracStart = ++i;
  while (i < field.size() && field[i] >= '0' && field[i] <= '9') ++i;
  return i == field.size() && i - fracStart == 6;
}

}  // namespace

bool IsPositionDatagram(std::string_view payload) {
  int fields = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t space = payload.find(' ', start);
    const std::string_view field = payload.substr(
        start, space == std::string_view::npos ? std::string_view::npos : space - start);
    if (!IsDecimal(field)) return false;
    ++fields;
    if (space == std::string_view::npos) break;
    start = space + 1;
  }
  return fields == 6;
}

std::string Printable(std::string_view payload, std::size_t maxBytes) {
  static const char* const kHex = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < payload.size() && i < maxBytes; ++i) {
    const auto c = static_cast<unsigned char>(payload[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (payload.size() > maxBytes) out += "...";
  return out;
}

IntervalSummary Summarize(std::vector<double> intervals) {
  IntervalSummary summary;
  summary.count = intervals.size();
  if (intervals.empty()) return summary;
  std::sort(intervals.begin(), intervals.end());
  summary.mean = std::accumulate(intervals.begin(), intervals.end(), 0.0) / intervals.size();
  const std::size_t n = intervals.size();
  summary.median = n % 2 ? intervals[n / 2] : (intervals[n / 2 - 1] + intervals[n / 2]) / 2;
  const auto rank = static_cast<std::size_t>(std::ceil(0.99 * n));
  summary.p99 = intervals[std::max<std::size_t>(rank, 1) - 1];
  summary.max = intervals.back();
  return summary;
}

namespace {

std::size_t BucketOf(double ms) {
  if (!(ms > IntervalHistogram::kLowestMs)) return 0;
  const double index =
      std::log(ms / IntervalHistogram::kLowestMs) / std::log(IntervalHistogram::kBucketRatio);
  return index >= IntervalHistogram::kBuckets ? IntervalHistogram::kBuckets
                                              : static_cast<std::size_t>(index);
}

// The middle of a bucket, in the geometric sense: within 1 % of anything in it.
double MiddleOf(std::size_t bucket) {
  return IntervalHistogram::kLowestMs *
         std::pow(IntervalHistogram::kBucketRatio, static_cast<double>(bucket) + 0.5);
}

}  // namespace

void IntervalHistogram::Add(double ms) {
  std::uint32_t& count = counts_[BucketOf(ms)];
  if (count < UINT32_MAX) ++count;
  ++count_;
  sum_ += ms;
  max_ = std::max(max_, ms);
}

IntervalSummary IntervalHistogram::Summary() const {
  IntervalSummary summary;
  summary.count = count_;
  if (count_ == 0) return summary;
  summary.mean = sum_ / static_cast<double>(count_);
  summary.max = max_;
  // Nearest-rank: the value at rank r is in the first bucket where the running count reaches r.
  const auto valueAt = [this](std::size_t rank) {
    std::size_t seen = 0;
    for (std::size_t bucket = 0; bucket < counts_.size(); ++bucket) {
      seen += counts_[bucket];
      if (seen >= rank) return bucket == kBuckets ? max_ : std::min(MiddleOf(bucket), max_);
    }
    return max_;
  };
  summary.median = valueAt((count_ + 1) / 2);
  summary.p99 = valueAt(std::max<std::size_t>(
      static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(count_))), 1));
  return summary;
}

}  // namespace receiver
