#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Clock.h"

namespace portable {

// What one run of the service leaves for the next when it ends because the controller stopped
// answering reads. systemd starts it again within seconds, and a controller that passes the
// ready check but answers no read goes round this for as long as it lasts: said in full at every
// start, that is seven lines every eight seconds. Kept in the service's runtime directory, which
// systemd keeps across its restarts and removes at a stop; without one (run by hand) there is
// no loop to know of.
class RestartLoop {
 public:
  // A start this soon after such an end is the loop going round.
  static constexpr std::uint32_t kWithinMs = 30000;
  static constexpr std::uint32_t kRepeatAfterMs = 60000;

  // directory: the service's runtime directory; empty for none.
  explicit RestartLoop(std::string directory) : directory_(std::move(directory)) {}

  // At the start: whether the run before ended so, just now.
  bool Load(platform::Tick now);
  bool InLoop() const { return inLoop_; }

  struct Due {
    bool say = false;    // the first end, or a minute since the last said
    bool first = false;  // not in a loop yet
    std::uint64_t ends = 1;
    std::string since;
  };
  // This run ends by the read time-out: what to say of it, and the state for the next run.
  Due Ended(platform::Tick now, const std::string& timeOfDay);
  // A read succeeded: the loop is over. How many ends it had, and since when (when it was one).
  std::optional<Due> Over();

 private:
  std::string Path() const { return directory_ + "/restart-loop"; }

  std::string directory_;
  bool inLoop_ = false;
  platform::Tick endedAt_ = 0, saidAt_ = 0;
  std::uint64_t ends_ = 0;
  std::string since_;
};

}  // namespace portable
