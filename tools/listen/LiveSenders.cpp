#include "tools/listen/LiveSenders.h"

#include <algorithm>

namespace receiver {
namespace {

constexpr std::size_t kForgottenKept = 4096;  // a viewer further behind reloads its senders

double Ms(LiveSenders::Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

void LiveSenders::Add(Clock::time_point now, double unixTime, const std::string& address,
                      const std::string& name, std::string_view payload, bool wellFormed) {
  Forget(now);
  auto found = senders_.find(address);
  if (found == senders_.end()) {
    if (senders_.size() >= kMaxSenders) {
      full_ = true;
      return;
    }
    found = senders_.emplace(address, Entry{}).first;
    found->second.shown.address = address;
  }
  Entry& entry = found->second;
  LiveSender& shown = entry.shown;
  if (shown.received > 0) {
    const double gap = Ms(now - entry.last);
    shown.lastGapMs = gap;
    entry.pace.Add(gap);
    shown.ratePerS = entry.pace.RatePerS();
  }
  ++shown.received;
  if (wellFormed) {
    shown.values.assign(payload);
  } else {
    ++shown.malformed;
  }
  shown.name = name;
  shown.silent = false;
  shown.lastUnixTime = unixTime;
  entry.silent = false;
  entry.last = now;
  entry.version = ++version_;
}

LiveSenders::Changes LiveSenders::ChangedSince(Clock::time_point now, std::uint64_t seen) {
  Forget(now);
  Changes changes;
  for (auto& [address, entry] : senders_) {
    const double quietMs = Ms(now - entry.last);
    const bool silent = entry.shown.received == 0 || quietMs > entry.pace.SilenceMs();
    if (silent != entry.silent) {
      entry.silent = silent;
      entry.shown.silent = silent;
      if (silent) entry.shown.ratePerS = 0;
      entry.version = ++version_;
    }
    if (entry.version > seen) changes.changed.push_back(entry.shown);
  }
  for (const auto& [version, address] : forgotten_) {
    if (seen > 0 && version > seen) changes.forgotten.push_back(address);  // 0: knows none
  }
  changes.full = full_;
  changes.version = version_;
  return changes;
}

void LiveSenders::Expect(const std::map<std::string, std::string>& named, Clock::time_point now,
                         double unixNow) {
  for (auto it = senders_.begin(); it != senders_.end();) {
    if (it->second.shown.received > 0 || named.count(it->first) != 0) {
      ++it;
      continue;
    }
    forgotten_.emplace_back(++version_, it->first);
    if (forgotten_.size() > kForgottenKept) forgotten_.pop_front();
    it = senders_.erase(it);
  }
  for (const auto& [sender, name] : named) {
    if (senders_.size() >= kMaxSenders) {
      full_ = true;
      return;
    }
    auto [found, added] = senders_.try_emplace(sender);
    Entry& entry = found->second;
    if (!added && entry.shown.received > 0) continue;
    if (added) {
      entry.shown.address = sender;
      entry.shown.lastUnixTime = unixNow;
      entry.last = now;
      entry.silent = entry.shown.silent = true;
    }
    entry.shown.name = name;
    entry.version = ++version_;
  }
}

void LiveSenders::Forget(Clock::time_point now) {
  if (now - lastForget_ < std::chrono::seconds(1)) return;
  lastForget_ = now;
  for (auto it = senders_.begin(); it != senders_.end();) {
    // One named and never heard stays: the names file bounds them.
    if (now - it->second.last < kForgetAfter || it->second.shown.received == 0) {
      ++it;
      continue;
    }
    forgotten_.emplace_back(++version_, it->first);
    if (forgotten_.size() > kForgottenKept) forgotten_.pop_front();
    it = senders_.erase(it);
    full_ = false;  // room again: the next newcomer is shown
  }
}

}  // namespace receiver
