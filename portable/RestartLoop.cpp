#include "portable/RestartLoop.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace portable {

bool RestartLoop::Load(platform::Tick now) {
  if (directory_.empty()) return false;
  std::ifstream file(Path());
  std::string line;
  if (!std::getline(file, line)) return false;
  std::istringstream fields(line);
  platform::Tick endedAt = 0, saidAt = 0;
  std::uint64_t ends = 0;
  std::string since;
  if (!(fields >> endedAt >> saidAt >> ends >> since)) return false;  // not ours: ignored
  inLoop_ = platform::Elapsed(now, endedAt) < kWithinMs;
  if (!inLoop_) return false;
  endedAt_ = endedAt;
  saidAt_ = saidAt;
  ends_ = ends;
  since_ = since;
  return true;
}

RestartLoop::Due RestartLoop::Ended(platform::Tick now, const std::string& timeOfDay) {
  Due due;
  if (!inLoop_) {
    ends_ = 1;
    since_ = timeOfDay;
    saidAt_ = now;
    due = {true, true, 1, since_};
  } else {
    ++ends_;
    due = {platform::Elapsed(now, saidAt_) >= kRepeatAfterMs, false, ends_, since_};
    if (due.say) saidAt_ = now;
  }
  endedAt_ = now;
  if (!directory_.empty()) {
    // Written whole or not at all: a rename over the old one.
    const std::string part = Path() + ".new";
    if (std::FILE* file = std::fopen(part.c_str(), "w")) {
      std::fprintf(file, "%u %u %llu %s\n", endedAt_, saidAt_,
                   static_cast<unsigned long long>(ends_), since_.c_str());
      if (std::fclose(file) == 0) std::rename(part.c_str(), Path().c_str());
    }
  }
  return due;
}

std::optional<RestartLoop::Due> RestartLoop::Over() {
  if (!inLoop_) return std::nullopt;
  inLoop_ = false;
  if (!directory_.empty()) std::remove(Path().c_str());
  return Due{true, false, ends_, since_};
}

}  // namespace portable
