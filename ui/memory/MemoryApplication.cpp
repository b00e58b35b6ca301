#include "ui/memory/MemoryApplication.h"

#include <algorithm>
#include <utility>

#include "ui/memory/MemoryComponents.h"

namespace ui::memory {
namespace {

bool IsDue(platform::Tick due, platform::Tick now) {
  return static_cast<std::int32_t>(now - due) >= 0;
}

}  // namespace

void MemoryApplication::Post(std::uint32_t delayMs, std::function<void()> work) {
  posted_.push_back({clock_.Now() + delayMs, order_++, std::move(work)});
}

void MemoryApplication::RemoveTimer(MemoryTimer* timer) {
  timers_.erase(std::remove(timers_.begin(), timers_.end(), timer), timers_.end());
}

bool MemoryApplication::NextDue(platform::Tick& due) const {
  bool any = false;
  const platform::Tick now = clock_.Now();
  auto consider = [&](platform::Tick candidate) {
    if (!any || static_cast<std::int32_t>(candidate - now) < static_cast<std::int32_t>(due - now)) {
      due = candidate;
    }
    any = true;
  };
  for (const Posted& p : posted_) consider(p.due);
  for (const MemoryTimer* t : timers_) {
    if (t->Enabled()) consider(t->Deadline());
  }
  return any;
}

bool MemoryApplication::DispatchDue() {
  const platform::Tick now = clock_.Now();
  auto earliest = posted_.end();
  for (auto it = posted_.begin(); it != posted_.end(); ++it) {
    if (!IsDue(it->due, now)) continue;
    if (earliest == posted_.end() || static_cast<std::int32_t>(it->due - earliest->due) < 0 ||
        (it->due == earliest->due && it->order < earliest->order)) {
      earliest = it;
    }
  }
  if (earliest != posted_.end()) {
    auto work = std::move(earliest->work);
    posted_.erase(earliest);
    Dispatch(work);
    return true;
  }
  for (MemoryTimer* timer : timers_) {
    if (timer->Enabled() && IsDue(timer->Deadline(), now)) {
      timer->Fire();
      return true;
    }
  }
  return false;
}

void MemoryApplication::ProcessMessages() {
  ++processMessagesCalls;
  if (onProcessMessages) onProcessMessages();
  while (DispatchDue()) {
  }
}

void MemoryApplication::WaitFor(std::uint32_t milliseconds) {
  if (fakeClock_ != nullptr) fakeClock_->Advance(milliseconds);
}

void MemoryApplication::WaitBeforeNextIdle(std::uint32_t milliseconds) {
  // Recorded for the tests' loop only: a loop on real time runs for days at ten waits a second.
  if (fakeClock_ != nullptr) idleWaits.push_back(milliseconds);
  wait_ = milliseconds;
}

bool MemoryApplication::Step() {
  if (quit_) return false;
  if (DispatchDue()) return true;
  std::optional<std::uint32_t> wait;
  if (idle_) {
    auto idle = idle_;  // the handler may remove itself
    bool done = true;
    wait_.reset();
    Dispatch([&] { idle(nullptr, done); });
    wait = std::exchange(wait_, std::nullopt);
    if (!done && !wait) return true;
  }
  const platform::Tick now = clock_.Now();
  platform::Tick due = 0;
  const bool messageDue = NextDue(due);
  // Signed: a message that came due while the idle handler ran is due now, not far ahead.
  const std::int64_t untilDue = static_cast<std::int32_t>(due - now);
  if (wait && (!messageDue || untilDue > static_cast<std::int64_t>(*wait))) {
    WaitFor(*wait);  // the wait runs out before any message comes
    return true;
  }
  if (!messageDue) return WaitForAnything();
  // Waiting for the next message, then handling it.
  if (!IsDue(due, now)) WaitFor(due - now);
  DispatchDue();
  return true;
}

void MemoryApplication::RunFor(std::uint32_t milliseconds) {
  const platform::Tick start = clock_.Now();
  while (platform::Elapsed(clock_.Now(), start) < milliseconds && Step()) {
  }
}

bool MemoryApplication::RunUntil(const std::function<bool()>& condition, int maxSteps) {
  for (int i = 0; i < maxSteps; ++i) {
    if (condition()) return true;
    if (!Step()) return condition();
  }
  return condition();
}

void MemoryApplication::Run(TForm& mainForm) {
  quit_ = false;
  mainForm.Show();
  while (Step()) {
  }
}

}  // namespace ui::memory
