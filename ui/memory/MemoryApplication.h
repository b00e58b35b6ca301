#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/EventPoster.h"
#include "platform/fake/FakeClock.h"
#include "ui/Application.h"

namespace ui::memory {

class MemoryTimer;

// A message loop without a display. Each Step handles one due message (a posted event or a
// timer) or, when none is due, makes one idle call; when there is neither, or the idle handler
// asked for a wait, it waits for the next due message (or the end of the wait). On a fake clock,
// the tests' loop, waiting is the clock jumping ahead; a loop on real time waits for real.
class MemoryApplication : public TApplication, public platform::EventPoster {
 public:
  explicit MemoryApplication(platform::FakeClock& clock) : clock_(clock), fakeClock_(&clock) {}

  void SetOnIdle(IdleHandler handler) override { idle_ = std::move(handler); }
  void WaitBeforeNextIdle(std::uint32_t milliseconds) override;
  void ProcessMessages() override;
  void Run(TForm& mainForm) override;
  void ShowErrorBox(const std::string& text) override { errorBoxes.push_back(text); }
  void Post(std::uint32_t delayMs, std::function<void()> work) override;

  bool HasIdleHandler() const { return static_cast<bool>(idle_); }
  // Returns false when nothing can happen any more.
  bool Step();
  // Steps until the clock has moved on by at least the given time, or the loop has quit.
  void RunFor(std::uint32_t milliseconds);
  // Steps until the condition holds (true) or the step limit is reached (false).
  bool RunUntil(const std::function<bool()>& condition, int maxSteps = 100000);
  void Quit() { quit_ = true; }

  void AddTimer(MemoryTimer* timer) { timers_.push_back(timer); }
  void RemoveTimer(MemoryTimer* timer);
  platform::Clock& Clock() { return clock_; }

  std::vector<std::string> errorBoxes;
  std::vector<std::uint32_t> idleWaits;  // every wait the idle handler asked for (fake clock)
  int processMessagesCalls = 0;
  std::function<void()> onProcessMessages;  // lets a test look at the window as it is painted

 protected:
  // For a loop on real time, which waits by overriding the two calls below.
  explicit MemoryApplication(platform::Clock& clock) : clock_(clock) {}
  // Waits until the time has passed or something has happened (which it handles).
  virtual void WaitFor(std::uint32_t milliseconds);
  // Nothing is due and no idle handler wants calling: waits for something from outside, or
  // returns false when nothing can happen any more, which ends the loop.
  virtual bool WaitForAnything() { return false; }

 private:
  struct Posted {
    platform::Tick due;
    std::uint64_t order;
    std::function<void()> work;
  };
  bool DispatchDue();
  bool NextDue(platform::Tick& due) const;

  platform::Clock& clock_;
  platform::FakeClock* fakeClock_ = nullptr;
  IdleHandler idle_;
  std::vector<Posted> posted_;
  std::vector<MemoryTimer*> timers_;
  std::uint64_t order_ = 0;
  bool quit_ = false;
  std::optional<std::uint32_t> wait_;  // asked for by the idle call under way
};

}  // namespace ui::memory
