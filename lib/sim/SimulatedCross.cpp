#include "lib/sim/SimulatedCross.h"

#include <algorithm>

namespace sim {
namespace {

constexpr std::size_t kJobsKept = 64;

bool SameVariable(const std::u16string& a, const std::u16string& b) {
  auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [&](char16_t x, char16_t y) { return upper(x) == upper(y); });
}

}  // namespace

std::u16string Widen(const std::string& text) {
  std::u16string wide;
  wide.reserve(text.size());
  for (unsigned char c : text) wide += c < 0x80 ? char16_t(c) : u'?';
  return wide;
}

std::string Narrow(const std::u16string& text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (char16_t c : text) narrow += c < 0x80 ? char(c) : '?';
  return narrow;
}

SimulatedCross::SimulatedCross(platform::EventPoster& poster, platform::Clock& clock,
                               std::uint32_t latencyMs)
    : poster_(poster),
      clock_(clock),
      latencyMs_(latencyMs),
      startTick_(clock.Now()),
      alive_(std::make_shared<SimulatedCross*>(this)) {}

SimulatedCross::~SimulatedCross() = default;

bool SimulatedCross::Init(const std::u16string& clientName, const std::u16string&, std::int32_t) {
  ++calls_.init;
  if (faults.refuseInit != 0) {
    if (faults.refuseInit > 0) --faults.refuseInit;
    return false;
  }
  registered_ = true;
  clientName_ = clientName;
  return true;
}

crosslib::JobNumber SimulatedCross::KRCOk() {
  ++calls_.krcOk;
  if (!registered_) return 0;
  return StartJob(Job{});
}

bool SimulatedCross::KRCOkResult(crosslib::JobNumber number) {
  const Job* job = FindJob(number);
  return job != nullptr && !job->isRead && job->completed && job->succeeded;
}

crosslib::JobNumber SimulatedCross::ShowVar(const std::u16string& name, const std::u16string&) {
  ++calls_.showVar;
  calls_.lastShowVarTick = clock_.Now();
  if (!registered_) return 0;
  Job job;
  job.isRead = true;
  job.variable = name;
  return StartJob(std::move(job));
}

bool SimulatedCross::ShowVarResult(crosslib::JobNumber number, std::u16string& value) {
  const Job* job = FindJob(number);
  if (job == nullptr || !job->isRead || !job->completed || !job->succeeded) return false;
  value = job->value;
  return true;
}

bool SimulatedCross::Exit() {
  ++calls_.exit;
  registered_ = false;
  return true;
}

crosslib::JobNumber SimulatedCross::StartJob(Job job) {
  // Job numbers count up through the 16-bit range and skip 0, which means "not accepted".
  lastJob_ = static_cast<crosslib::JobNumber>(static_cast<std::uint16_t>(lastJob_) + 1);
  if (lastJob_ == 0) lastJob_ = 1;
  job.number = lastJob_;
  const bool completes = !faults.neverComplete && !(faults.readsNeverComplete && job.isRead);
  jobs_.push_back(std::move(job));
  if (jobs_.size() > kJobsKept) jobs_.pop_front();

  if (completes) {
    const crosslib::JobNumber number = lastJob_;
    std::weak_ptr<SimulatedCross*> alive = alive_;
    poster_.Post(latencyMs_ + faults.extraLatencyMs, [alive, number] {
      if (auto self = alive.lock()) (*self)->Complete(number);
    });
  }
  return lastJob_;
}

void SimulatedCross::Complete(crosslib::JobNumber number) {
  Job* job = FindJob(number);
  if (job == nullptr) return;
  job->completed = true;
  if (job->isRead) {
    if (faults.failReads != 0) {
      if (faults.failReads > 0) --faults.failReads;
      job->succeeded = false;
    } else if (SameVariable(job->variable, u"$AXIS_ACT")) {
      job->succeeded = true;
      job->value = Widen(arm_.AxisActText(platform::Elapsed(clock_.Now(), startTick_)));
    }
  } else if (faults.notReady > 0) {
    --faults.notReady;
  } else {
    job->succeeded = true;
  }
  crosslib::JobNumber announced = number;
  if (faults.completeWithOtherJob) announced = static_cast<crosslib::JobNumber>(number ^ 0x4000);
  if (OnCmdMessage) OnCmdMessage(announced, 0);
}

SimulatedCross::Job* SimulatedCross::FindJob(crosslib::JobNumber number) {
  auto it = std::find_if(jobs_.rbegin(), jobs_.rend(),
                         [number](const Job& job) { return job.number == number; });
  return it == jobs_.rend() ? nullptr : &*it;
}

}  // namespace sim
