#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tools/listen/Pace.h"

namespace receiver {

// What the live view shows of one sender.
struct LiveSender {
  std::string address;
  std::string name;       // its address when it has none
  std::string values;     // the last well-formed datagram as received, empty before the first
  double ratePerS = 0;    // from a moving average of the recent intervals; 0 while silent
  double lastGapMs = -1;  // -1 before the second datagram
  std::uint64_t received = 0, malformed = 0;
  bool silent = false;  // nothing has come for longer than its pace allows, or nothing ever
  // Unix time of its last datagram; for one named but not heard yet, when listening began.
  // Every page counts a silence from it, so that pages opened at any time agree.
  double lastUnixTime = 0;
};

// The senders the live view shows, with what changed since a viewer last looked. The UDP side
// adds to it and the viewers read it, each under a short lock of the caller's. Bounded: a sender
// silent for an hour is forgotten here (the listener's summary keeps it), and at most kMaxSenders
// are shown at a time.
class LiveSenders {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kMaxSenders = 4096;
  static constexpr std::chrono::hours kForgetAfter{1};

  void Add(Clock::time_point now, double unixTime, const std::string& address,
           const std::string& name, std::string_view payload, bool wellFormed);
  // The senders the names file lists: shown, before their first datagram, as not heard since
  // unixNow (the listener's start). Those no longer listed and never heard are forgotten.
  void Expect(const std::map<std::string, std::string>& named, Clock::time_point now,
              double unixNow);

  struct Changes {
    std::vector<LiveSender> changed;
    std::vector<std::string> forgotten;  // addresses
    bool full = false;                   // a sender is not shown for the cap
    std::uint64_t version = 0;           // pass it back as `seen` next time
  };
  // What changed after version `seen` (0: everything), with silence judged at `now`.
  Changes ChangedSince(Clock::time_point now, std::uint64_t seen);

  std::size_t Size() const { return senders_.size(); }

 private:
  struct Entry {
    LiveSender shown;
    Clock::time_point last;
    Pace pace;
    bool silent = false;
    std::uint64_t version = 0;
  };
  // Forgets the senders silent for too long; at most once a second, as it walks them all.
  void Forget(Clock::time_point now);

  std::map<std::string, Entry> senders_;
  std::deque<std::pair<std::uint64_t, std::string>> forgotten_;  // the latest, bounded
  Clock::time_point lastForget_{};
  bool full_ = false;
  std::uint64_t version_ = 0;
};

}  // namespace receiver
