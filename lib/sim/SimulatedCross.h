#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "lib/CrossLib_OCX.h"
#include "lib/sim/SimulatedArm.h"
#include "platform/Clock.h"
#include "platform/EventPoster.h"

namespace sim {

// Ways to make the simulated controller misbehave, for tests and demonstrations.
struct Faults {
  int refuseInit = 0;                 // this many Init calls fail (negative: all of them)
  int notReady = 0;                   // this many ready checks answer "not ready"
  bool neverComplete = false;         // jobs never fire their completion event
  bool readsNeverComplete = false;    // only reads never complete
  std::uint32_t extraLatencyMs = 0;   // added to every job's latency
  bool completeWithOtherJob = false;  // completion events carry a job number that was never issued
  int failReads = 0;                  // this many reads fail even for a known variable
};

// Counts of what the program asked for, with the tick of the latest read.
struct CallLog {
  int init = 0;
  int exit = 0;
  int krcOk = 0;
  int showVar = 0;
  platform::Tick lastShowVarTick = 0;
};

// A controller of our own that honours the control's job protocol: requests return a job number
// at once, completion events arrive through the message loop after the latency, results are
// fetched by job number. It reads $AXIS_ACT from a simulated moving arm.
class SimulatedCross : public crosslib::TCross {
 public:
  SimulatedCross(platform::EventPoster& poster, platform::Clock& clock,
                 std::uint32_t latencyMs = 4);
  ~SimulatedCross() override;

  bool Init(const std::u16string& clientName, const std::u16string& second,
            std::int32_t flags) override;
  crosslib::JobNumber KRCOk() override;
  bool KRCOkResult(crosslib::JobNumber job) override;
  crosslib::JobNumber ShowVar(const std::u16string& name, const std::u16string& second) override;
  bool ShowVarResult(crosslib::JobNumber job, std::u16string& value) override;
  bool Exit() override;

  Faults faults;
  const CallLog& Calls() const { return calls_; }
  bool Registered() const { return registered_; }
  const std::u16string& ClientName() const { return clientName_; }

 private:
  struct Job {
    crosslib::JobNumber number = 0;
    bool isRead = false;
    std::u16string variable;
    bool completed = false;
    bool succeeded = false;
    std::u16string value;
  };

  crosslib::JobNumber StartJob(Job job);
  void Complete(crosslib::JobNumber number);
  Job* FindJob(crosslib::JobNumber number);

  platform::EventPoster& poster_;
  platform::Clock& clock_;
  std::uint32_t latencyMs_;
  platform::Tick startTick_;
  SimulatedArm arm_;
  bool registered_ = false;
  std::u16string clientName_;
  crosslib::JobNumber lastJob_ = 0;
  std::deque<Job> jobs_;  // the most recent jobs, oldest first
  CallLog calls_;
  // Completions posted to the loop check this so that none fires after the control is gone.
  std::shared_ptr<SimulatedCross*> alive_;
};

// UTF-16 <-> 8-bit text for the ASCII the controller exchanges; other characters become '?'.
std::u16string Widen(const std::string& text);
std::string Narrow(const std::u16string& text);

}  // namespace sim
