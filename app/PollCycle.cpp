#include "app/PollCycle.h"

#include "app/Mdialog.h"

namespace jointcast {

State PollState = State::WaitRetry;
platform::Tick LastTick = 0;

// One step per call. The completion event is dispatched by the message loop between idle calls,
// so a waiting state never waits in place: it returns and asks the loop to wait until its own
// deadline, which a message (the completion, a key, a timer) cuts short.
void TFMDialog::AppIdle(TObject*, bool& Done) {
  Done = false;
  if (!Cross) return;  // the control is gone after a fatal error
  const std::int64_t elapsed = platform::Elapsed(clock_.Now(), LastTick);

  switch (PollState) {
    case State::WaitRetry:
      PCross->SetColor(ui::TColor::Red);
      if (elapsed >= Timeout) {
        PollState = State::Connect;
      } else {
        WaitUntilElapsed(elapsed, Timeout);
      }
      break;

    case State::Connect:
      if (Cross->Init(kClientName, u"", 0)) {
        PCross->SetColor(ui::TColor::Yellow);
        PollState = State::CheckController;
      } else {
        LastTick = clock_.Now();
        PollState = State::WaitRetry;
      }
      break;

    case State::CheckController:
      JobDone = false;
      LastTick = clock_.Now();
      JobNumber = Cross->KRCOk();
      clock_.Sleep(kCheckSleep);
      PollState = State::AwaitCheck;
      break;

    case State::AwaitCheck:
      if (elapsed > Timeout) {
        LastTick = clock_.Now();
        PollState = State::WaitRetry;
      } else if (!JobDone) {
        WaitUntilElapsed(elapsed, Timeout + 1);
      } else if (!Cross->KRCOkResult(JobNumber)) {
        PollState = State::CheckController;
      } else {
        PCross->SetColor(ui::TColor::Green);
        LastTick = clock_.Now();
        PollState = State::Pause;
      }
      break;

    case State::Pause:
      if (elapsed >= ReadPeriod) {
        PollState = State::RequestAxes;
      } else {
        WaitUntilElapsed(elapsed, ReadPeriod);
      }
      break;

    case State::RequestAxes:
      JobDone = false;
      LastTick = clock_.Now();
      JobNumber = Cross->ShowVar(kAxisVariable, u"");
      PollState = State::AwaitAxes;
      break;

    case State::AwaitAxes:
      // A reply that has arrived is no dead controller, even when it is looked at past the
      // time-out: this program may have been stopped meanwhile (a paused VM, a debugger) with
      // the reply waiting to be delivered. So what is pending is delivered, here and now rather
      // than in a later turn of the loop, which might dispatch an overdue timer instead, before
      // an unanswered read ends the program.
      if (!JobDone && elapsed > Timeout) {
        application_.ProcessMessages();
        if (!Cross) break;  // the form closed meanwhile
        if (!JobDone) {
          FatalError("can't read variable");
          break;
        }
      }
      if (JobDone) {
        PollState = Cross->ShowVarResult(JobNumber, ValueText) ? State::Publish : State::WaitRetry;
      } else {
        WaitUntilElapsed(elapsed, Timeout + 1);
      }
      break;

    case State::Publish:
      Publish();
      PollState = State::Pause;
      break;
  }
}

void TFMDialog::WaitUntilElapsed(std::int64_t elapsed, std::int64_t deadline) {
  application_.WaitBeforeNextIdle(
      deadline > elapsed ? static_cast<std::uint32_t>(deadline - elapsed) : 0);
}

void TFMDialog::CrossCmdMessage(TObject*, crosslib::JobNumber nJob, std::int32_t) {
  if (nJob == JobNumber) JobDone = true;
}

}  // namespace jointcast
