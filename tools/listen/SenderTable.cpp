#include "tools/listen/SenderTable.h"

namespace receiver {

std::optional<double> SenderTable::Count(in_addr from, const std::string& address,
                                         std::chrono::steady_clock::time_point arrived,
                                         bool wellFormed) {
  auto it = listed_.find(address);
  if (it == listed_.end() && listed_.size() < kMaxListed)
    it = listed_.emplace(address, Tally{}).first;
  if (it == listed_.end() && unlistedAddresses_.size() < kMaxCountedUnlisted) {
    unlistedAddresses_.insert(from.s_addr);
  }
  Tally& tally = it != listed_.end() ? it->second : unlisted_;
  std::optional<double> interval;
  if (tally.received > 0) {
    interval = std::chrono::duration<double, std::milli>(arrived - tally.previous).count();
    tally.intervals.Add(*interval);
    tally.pace.Add(*interval);
  }
  ++tally.received;
  tally.malformed += !wellFormed;
  tally.previous = arrived;
  return interval;
}

std::size_t SenderTable::HeardSince(std::chrono::steady_clock::time_point since) const {
  std::size_t heard = 0;
  for (const auto& entry : listed_) heard += entry.second.previous >= since;
  return heard;
}

std::vector<RobotMetrics> SenderTable::Metrics(std::chrono::steady_clock::time_point now,
                                               const SenderNames& names) const {
  std::vector<RobotMetrics> robots;
  robots.reserve(listed_.size());
  for (const auto& [sender, tally] : listed_) {
    const double quietMs = std::chrono::duration<double, std::milli>(now - tally.previous).count();
    robots.push_back({names.NameOf(sender), tally.received, tally.malformed, quietMs / 1000,
                      quietMs > tally.pace.SilenceMs(), tally.intervals.Summary()});
  }
  return robots;
}

void SenderTable::PrintSummary(std::FILE* out, const SenderNames& names) const {
  if (listed_.empty()) {
    std::fprintf(out,
                 "summary: 0 datagrams, 0 malformed, interval mean 0.0 ms, median 0.0 ms, p99 0.0 "
                 "ms, max 0.0 ms\n");
    return;
  }
  for (const auto& [address, tally] : listed_) {
    const IntervalSummary s = tally.intervals.Summary();
    const std::string& name = names.NameOf(address);
    const std::string who =
        listed_.size() > 1 ? " for " + (name == address ? address : name + " (" + address + ")")
                           : "";
    std::fprintf(out,
                 "summary%s: %llu datagrams, %llu malformed, interval mean %.1f ms, median %.1f "
                 "ms, p99 %.1f ms, max %.1f ms\n",
                 who.c_str(), static_cast<unsigned long long>(tally.received),
                 static_cast<unsigned long long>(tally.malformed), s.mean, s.median, s.p99, s.max);
  }
  if (unlisted_.received > 0) {
    const std::size_t counted = unlistedAddresses_.size();
    std::fprintf(
        out, "summary: %s%zu more senders left out of the table (%llu datagrams, %llu malformed)\n",
        counted >= kMaxCountedUnlisted ? "at least " : "", counted,
        static_cast<unsigned long long>(unlisted_.received),
        static_cast<unsigned long long>(unlisted_.malformed));
  }
}

}  // namespace receiver
