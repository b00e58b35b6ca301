#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "app/PeriodArgument.h"

#include "Harness.h"

using jointcast::LastTick;
using jointcast::PollState;
using jointcast::State;
using ui::TColor;

namespace {

// Ticks at which the cycle issued reads, while it runs for the given time.
std::vector<platform::Tick> ReadTicks(Harness& h, std::uint32_t milliseconds) {
  std::vector<platform::Tick> ticks;
  int seen = h.cross->Calls().showVar;
  const platform::Tick start = h.clock.Now();
  while (platform::Elapsed(h.clock.Now(), start) < milliseconds && h.app().Step()) {
    if (h.cross->Calls().showVar != seen) {
      seen = h.cross->Calls().showVar;
      ticks.push_back(h.cross->Calls().lastShowVarTick);
    }
  }
  return ticks;
}

std::vector<std::uint32_t> Intervals(const std::vector<platform::Tick>& ticks) {
  std::vector<std::uint32_t> intervals;
  for (std::size_t i = 1; i < ticks.size(); ++i) {
    intervals.push_back(platform::Elapsed(ticks[i], ticks[i - 1]));
  }
  return intervals;
}

}  // namespace

TEST(PollCycle, ConnectsChecksAndReadsWithIndicatorColours) {
  Harness h;
  auto& d = h.Show();
  EXPECT_EQ(d.PCross->Color(), TColor::Red);

  // LastTick starts at 0 and the system has been up for more than 3 s: straight to Connect.
  h.app().Step();
  EXPECT_EQ(PollState, State::Connect);
  EXPECT_EQ(h.cross->Calls().init, 0);
  h.app().Step();
  EXPECT_EQ(h.cross->Calls().init, 1);
  EXPECT_EQ(h.cross->ClientName(), u"ZelkJointcastV3");
  EXPECT_EQ(d.PCross->Color(), TColor::Yellow);
  EXPECT_EQ(PollState, State::CheckController);

  h.clock.sleeps.clear();
  h.app().Step();
  EXPECT_EQ(PollState, State::AwaitCheck);
  EXPECT_EQ(h.clock.sleeps, std::vector<std::uint32_t>{250});

  ASSERT_TRUE(h.RunUntilState(State::Pause));
  EXPECT_EQ(d.PCross->Color(), TColor::Green);
  const platform::Tick ready = LastTick;

  ASSERT_TRUE(h.RunUntilState(State::AwaitAxes));
  // The first read follows 200 ms after the controller was ready.
  EXPECT_EQ(platform::Elapsed(h.cross->Calls().lastShowVarTick, ready), 200u);

  ASSERT_TRUE(h.RunUntilState(State::Pause));
  EXPECT_NE(d.ValueText.find(u"$AXIS_ACT = {E6AXIS: A1 "), std::u16string::npos);
  EXPECT_TRUE(h.app().errorBoxes.empty());
}

TEST(PollCycle, ReadIntervalFollowsRequestsNotCompletions) {
  {
    Harness h(100000, 50);
    h.Show();
    ASSERT_TRUE(h.RunUntilState(State::AwaitAxes));
    for (std::uint32_t interval : Intervals(ReadTicks(h, 10000))) EXPECT_EQ(interval, 200u);
  }
  {
    Harness h(100000, 300);
    h.Show();
    ASSERT_TRUE(h.RunUntilState(State::AwaitAxes));
    const auto intervals = Intervals(ReadTicks(h, 10000));
    ASSERT_GE(intervals.size(), 30u);
    for (std::uint32_t interval : intervals) EXPECT_EQ(interval, 300u);
  }
}

// The read period set on the command line: 20 ms apart with replies in 4 ms; 0, a read right
// after each reading is published (a reply's time apart); a reply slower than the period, a
// read at once after it. The ready check and the time-outs stay as they are.
TEST(PollCycle, TheReadPeriodSetsThePauseAlone) {
  for (const auto& [period, latency, expected] :
       {std::tuple{20u, 4u, 20u}, std::tuple{0u, 4u, 4u}, std::tuple{50u, 120u, 120u}}) {
    Harness h(100000, latency);
    auto& d = h.Show();
    d.ReadPeriod = period;
    h.clock.sleeps.clear();
    ASSERT_TRUE(h.RunUntilState(State::AwaitAxes));
    EXPECT_EQ(h.clock.sleeps, std::vector<std::uint32_t>{250});  // the ready check's sleep
    const auto intervals = Intervals(ReadTicks(h, 2000));
    ASSERT_GE(intervals.size(), 2000u / (expected + 1) - 2) << period;
    for (std::uint32_t interval : intervals) EXPECT_EQ(interval, expected) << period;
    EXPECT_FALSE(h.form().closed);
  }
}

TEST(PeriodArgument, TheWindowsProgramsOneOption) {
  std::string problem;
  EXPECT_EQ(jointcast::ParsePeriodArguments({}, problem), 200u);
  EXPECT_EQ(jointcast::ParsePeriodArguments({"--period", "20"}, problem), 20u);
  EXPECT_EQ(jointcast::ParsePeriodArguments({"--period=0"}, problem), 0u);
  EXPECT_EQ(jointcast::ParsePeriodArguments({"--period=10000"}, problem), 10000u);
  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"--period"},
                                             {"--period=10001"},
                                             {"--period", "-1"},
                                             {"--period=2O"},
                                             {"--period="},
                                             {"/period:20"},
                                             {"--period=99999999999999999999"}}) {
    problem.clear();
    EXPECT_FALSE(jointcast::ParsePeriodArguments(bad, problem).has_value()) << bad.back();
    EXPECT_FALSE(problem.empty());
  }
}

// Waiting states wait in the loop for their own deadline, and a message ends the wait: the pause
// ends at 200 ms exactly, a completion is acted on when it arrives, and only the ready request's
// 250 ms is slept.
TEST(PollCycle, WaitsEndAtTheDeadlineOrTheFirstMessage) {
  Harness h(100000, 37);
  h.Show();
  ASSERT_TRUE(h.RunUntilState(State::Pause));
  EXPECT_EQ(h.clock.sleeps, std::vector<std::uint32_t>{250});
  const platform::Tick ready = LastTick;
  h.app().idleWaits.clear();
  ASSERT_TRUE(h.RunUntilState(State::AwaitAxes));
  EXPECT_EQ(h.app().idleWaits, std::vector<std::uint32_t>{200});  // one wait, not 20 ms steps
  EXPECT_EQ(h.cross->Calls().lastShowVarTick, ready + 200);

  const platform::Tick requested = LastTick;
  h.app().idleWaits.clear();
  ASSERT_TRUE(h.RunUntilState(State::Publish));
  EXPECT_EQ(h.clock.Now(), requested + 37);  // the completion's arrival, not a sleep's end
  EXPECT_EQ(h.app().idleWaits, std::vector<std::uint32_t>{3001});
  h.app().Step();  // the publish step itself costs no wait
  EXPECT_EQ(PollState, State::Pause);
  EXPECT_EQ(h.clock.Now(), requested + 37);
  EXPECT_EQ(h.clock.sleeps, std::vector<std::uint32_t>{250});
}

// A key press during a long wait is handled when it comes, not when the wait runs out.
TEST(PollCycle, AKeyDuringAWaitIsHandledAtOnce) {
  Harness h(100000, 2000);
  auto& d = h.Show();
  h.sockets.hosts["robotsim"] = {10, 0, 0, 9};
  ASSERT_TRUE(h.RunUntilState(State::AwaitAxes));
  const platform::Tick requested = LastTick;
  auto& edit = static_cast<ui::memory::MemoryEdit&>(*d.EAddress);
  platform::Tick handled = 0;
  h.app().Post(10, [&] {
    edit.SetText("robotsim");
    edit.PressKey(ui::kKeyReturn);
    handled = h.clock.Now();
  });
  ASSERT_TRUE(h.app().RunUntil([&] { return handled != 0; }));
  EXPECT_EQ(handled, requested + 10);
  EXPECT_EQ(d.Destination.address, (std::array<std::uint8_t, 4>{10, 0, 0, 9}));
  EXPECT_EQ(PollState, State::AwaitAxes);  // the read is still out
}

TEST(PollCycle, TimeoutBoundaries) {
  Harness h;
  auto& d = h.Show();
  const platform::Tick now = h.clock.Now();
  bool done = true;

  // WaitRetry connects once Timeout has passed: >=.
  PollState = State::WaitRetry;
  LastTick = now - 2999;
  d.AppIdle(nullptr, done);
  EXPECT_FALSE(done);
  EXPECT_EQ(PollState, State::WaitRetry);
  LastTick = h.clock.Now() - 3000;
  d.AppIdle(nullptr, done);
  EXPECT_EQ(PollState, State::Connect);

  // AwaitCheck gives up only past Timeout: >.
  PollState = State::AwaitCheck;
  d.JobDone = false;
  LastTick = h.clock.Now() - 3000;
  d.AppIdle(nullptr, done);
  EXPECT_EQ(PollState, State::AwaitCheck);
  LastTick = h.clock.Now() - 3001;
  d.AppIdle(nullptr, done);
  EXPECT_EQ(PollState, State::WaitRetry);
  EXPECT_EQ(LastTick, h.clock.Now());

  // Pause: >= 200.
  PollState = State::Pause;
  LastTick = h.clock.Now() - 199;
  d.AppIdle(nullptr, done);
  EXPECT_EQ(PollState, State::Pause);
  LastTick = h.clock.Now() - 200;
  d.AppIdle(nullptr, done);
  EXPECT_EQ(PollState, State::RequestAxes);
}

// A reply that has arrived is taken, even when the cycle looks at it only past the time-out (this
// program was stopped meanwhile: a paused VM, a debugger). Without a reply, the time-out ends the
// program, once what was pending has been delivered.
TEST(PollCycle, AReplyThatHasArrivedIsTakenEvenPastTheTimeout) {
  // At exactly Timeout, and long after it.
  for (const std::uint32_t late : {3000u, 3001u, 60000u}) {
    Harness h;
    auto& d = h.Show();
    ASSERT_TRUE(h.RunUntilState(State::AwaitAxes));
    ASSERT_TRUE(h.app().RunUntil([&] { return d.JobDone; }));
    h.clock.Advance(late - platform::Elapsed(h.clock.Now(), LastTick));
    bool done = true;
    d.AppIdle(nullptr, done);
    EXPECT_EQ(PollState, State::Publish) << late;
    EXPECT_FALSE(h.form().closed) << late;
  }
  // Stopped for 4 s with the reply still waiting to be delivered: the idle call past the
  // time-out delivers what is pending itself, the reply among it.
  // Every read gets that, not only the first one stalled.
  {
    Harness h;
    auto& d = h.Show();
    for (int stall = 1; stall <= 2; ++stall) {
      ASSERT_TRUE(h.RunUntilState(State::AwaitAxes));
      h.clock.Advance(4000);  // the completion is overdue, not yet dispatched
      ASSERT_FALSE(d.JobDone);
      bool done = true;
      d.AppIdle(nullptr, done);
      ASSERT_FALSE(h.form().closed) << stall;
      EXPECT_EQ(PollState, State::Publish) << stall;
    }
    // The next read gets its turn afresh: unanswered, it ends the program.
    h.cross->faults.readsNeverComplete = true;
    ASSERT_TRUE(h.app().RunUntil([&] { return h.form().closed; }));
    EXPECT_EQ(d.LMessage->Caption(), "can't read variable");
    EXPECT_TRUE(d.EndedByFatalError());
  }
}

TEST(PollCycle, ElapsedTimeIsRightAcrossTheTickWrap) {
  Harness h(0xFFFFFFFFu - 1500);
  h.Show();
  ASSERT_TRUE(h.RunUntilState(State::AwaitAxes));
  const auto ticks = ReadTicks(h, 5000);
  ASSERT_FALSE(h.form().closed);
  ASSERT_GE(ticks.size(), 20u);
  EXPECT_LT(ticks.back(), ticks.front());  // the counter did wrap
  for (std::uint32_t interval : Intervals(ticks)) {
    EXPECT_GE(interval, 200u);
    EXPECT_LT(interval, 220u);
  }
}

TEST(PollCycle, EarlyAfterBootTheFirstConnectWaitsForTheTimeout) {
  Harness h(1000);
  h.Show();
  ASSERT_TRUE(h.app().RunUntil([&] { return h.cross->Calls().init == 1; }));
  EXPECT_GE(h.clock.Now(), 3000u);
  EXPECT_LT(h.clock.Now(), 3020u);
}

TEST(PollCycle, RefusedRegistrationRetriesEveryThreeSeconds) {
  Harness h;
  auto& d = h.Show();
  h.cross->faults.refuseInit = -1;
  std::vector<platform::Tick> inits;
  int seen = 0;
  const platform::Tick start = h.clock.Now();
  while (platform::Elapsed(h.clock.Now(), start) < 30000 && h.app().Step()) {
    EXPECT_EQ(d.PCross->Color(), TColor::Red);
    if (h.cross->Calls().init != seen) {
      seen = h.cross->Calls().init;
      inits.push_back(h.clock.Now());
    }
  }
  ASSERT_GE(inits.size(), 9u);
  ASSERT_LE(inits.size(), 11u);
  for (std::uint32_t interval : Intervals(inits)) {
    EXPECT_GE(interval, 3000u);
    EXPECT_LT(interval, 3020u);
  }
  EXPECT_EQ(h.cross->Calls().krcOk, 0);
}

TEST(PollCycle, ControllerNotReadyIsAskedAgainAtOnce) {
  Harness h;
  auto& d = h.Show();
  h.cross->faults.notReady = 3;
  ASSERT_TRUE(h.RunUntilState(State::Pause));
  EXPECT_EQ(h.cross->Calls().krcOk, 4);
  EXPECT_EQ(h.cross->Calls().init, 1);
  EXPECT_EQ(d.PCross->Color(), TColor::Green);
}

TEST(PollCycle, UnansweredReadyCheckReconnectsAfterThreeSecondsMore) {
  Harness h;
  auto& d = h.Show();
  h.cross->faults.neverComplete = true;
  ASSERT_TRUE(h.RunUntilState(State::AwaitCheck));
  const platform::Tick asked = LastTick;
  ASSERT_TRUE(h.RunUntilState(State::WaitRetry));
  EXPECT_GT(platform::Elapsed(h.clock.Now(), asked), 3000u);
  EXPECT_EQ(d.PCross->Color(), TColor::Yellow);  // until WaitRetry runs once
  const platform::Tick gaveUp = h.clock.Now();
  ASSERT_TRUE(h.app().RunUntil([&] { return h.cross->Calls().init == 2; }));
  EXPECT_GE(platform::Elapsed(h.clock.Now(), gaveUp), 3000u);
  EXPECT_EQ(h.cross->Calls().exit, 0);
}

// The ready check's time-out is tested before its completion: an answer that arrives after
// 3000 ms leads to a new registration, not to green.
TEST(PollCycle, ReadyAnswerAfterTheTimeoutReconnects) {
  Harness h(100000, 3001);
  auto& d = h.Show();
  ASSERT_TRUE(h.RunUntilState(State::AwaitCheck));
  ASSERT_TRUE(h.app().RunUntil([&] { return d.JobDone; }));
  ASSERT_TRUE(h.RunUntilState(State::WaitRetry, 10));
  EXPECT_EQ(d.PCross->Color(), TColor::Yellow);  // never green
}

TEST(PollCycle, FailedReadReconnectsThreeSecondsAfterTheRequest) {
  Harness h;
  auto& d = h.Show();
  ASSERT_TRUE(h.RunUntilState(State::Pause));
  h.cross->faults.failReads = 1;
  ASSERT_TRUE(h.RunUntilState(State::AwaitAxes));
  const platform::Tick requested = LastTick;
  ASSERT_TRUE(h.RunUntilState(State::WaitRetry));
  h.app().Step();
  EXPECT_EQ(d.PCross->Color(), TColor::Red);
  ASSERT_TRUE(h.app().RunUntil([&] { return h.cross->Calls().init == 2; }));
  const std::uint32_t after = platform::Elapsed(h.clock.Now(), requested);
  EXPECT_GE(after, 3000u);
  EXPECT_LT(after, 3020u);
  ASSERT_TRUE(h.RunUntilState(State::Publish));
}

TEST(PollCycle, CompletionEventsAreMatchedByJobNumberOnly) {
  Harness h;
  auto& d = h.Show();
  ASSERT_TRUE(h.RunUntilState(State::AwaitAxes));
  d.JobNumber = 1234;
  d.JobDone = false;
  d.CrossCmdMessage(nullptr, 1233, 0);  // an older job's late completion
  EXPECT_FALSE(d.JobDone);
  d.CrossCmdMessage(nullptr, 1234, 77);  // the error code plays no part
  EXPECT_TRUE(d.JobDone);
  d.JobNumber = -2;  // 16-bit comparison, negative numbers included
  d.JobDone = false;
  d.CrossCmdMessage(nullptr, static_cast<crosslib::JobNumber>(0xFFFE), 0);
  EXPECT_TRUE(d.JobDone);
}

TEST(PollCycle, ReadNeverAnsweredEndsTheProgramThreeSecondsLater) {
  Harness h;
  auto& d = h.Show();
  ASSERT_TRUE(h.RunUntilState(State::Pause));
  h.cross->faults.completeWithOtherJob = true;  // completions that never match
  ASSERT_TRUE(h.RunUntilState(State::AwaitAxes));
  const platform::Tick requested = LastTick;
  const int processed = h.app().processMessagesCalls;
  // What the window shows while FatalError lets the loop paint it.
  std::string shownWhilePainting;
  h.app().onProcessMessages = [&] { shownWhilePainting = d.LMessage->Caption(); };
  h.clock.sleeps.clear();
  ASSERT_TRUE(h.app().RunUntil([&] { return h.form().closed; }));
  // The time-out fires on the first idle call past 3000 ms, then the window stays up 2.5 s.
  EXPECT_EQ(h.clock.sleeps.back(), 2500u);
  EXPECT_EQ(platform::Elapsed(h.clock.Now(), requested), 3001u + 2500u);
  EXPECT_EQ(d.LMessage->Caption(), "can't read variable");
  EXPECT_EQ(d.LMessage->Color(), TColor::Red);
  EXPECT_EQ(d.Cross, nullptr);
  EXPECT_FALSE(h.app().HasIdleHandler());
  // One to deliver a reply that might be pending, one to paint the message.
  EXPECT_EQ(h.app().processMessagesCalls, processed + 2);
  EXPECT_EQ(shownWhilePainting, "can't read variable");
  EXPECT_FALSE(h.app().Step());  // the loop has ended
  // FormHide ran: socket closed and Windows Sockets stopped, but no Exit on a destroyed control.
  EXPECT_EQ(h.sockets.calls.back(), "cleanup");
}

TEST(PollCycle, ControlErrorsReachTheErrorBoxAndLeaveTheStateAlone) {
  struct ThrowingCross : sim::SimulatedCross {
    using SimulatedCross::SimulatedCross;
    crosslib::JobNumber ShowVar(const std::u16string&, const std::u16string&) override {
      throw std::runtime_error("Cross: access violation");
    }
  };
  Harness h;
  jointcast::DialogEnvironment env = h.Environment();
  env.createCross = [&]() -> std::unique_ptr<crosslib::TCross> {
    return std::make_unique<ThrowingCross>(h.toolkit.app, h.clock);
  };
  h.dialog = std::make_unique<jointcast::TFMDialog>(env);
  h.Show();
  ASSERT_TRUE(h.RunUntilState(State::RequestAxes));
  h.app().Step();
  EXPECT_EQ(PollState, State::RequestAxes);
  ASSERT_EQ(h.app().errorBoxes.size(), 1u);
  EXPECT_EQ(h.app().errorBoxes[0], "Cross: access violation.");
  h.app().Step();  // the program goes on, and tries again
  EXPECT_EQ(h.app().errorBoxes.size(), 2u);
}

// A message that comes due while the idle handler runs (its time has passed when the handler
// asks for a long wait) is handled next, not after the wait.
TEST(MemoryLoop, AMessageDueDuringTheIdleCallIsNotHeldBackByTheWait) {
  platform::FakeClock clock(100000);
  ui::memory::MemoryApplication app(clock);
  bool handled = false;
  app.Post(10, [&] { handled = true; });
  app.SetOnIdle([&](ui::TObject*, bool& done) {
    done = false;
    clock.Advance(50);  // a slow handler: the message is overdue when it returns
    app.WaitBeforeNextIdle(3000);
  });
  app.Step();  // the idle call, then at once the overdue message
  EXPECT_TRUE(handled);
  EXPECT_EQ(clock.Now(), 100050u);
}
