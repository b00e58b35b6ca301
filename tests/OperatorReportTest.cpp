// What jointcastd tells its operator and systemd, on a fake clock: failures said once, then once
// a minute, then when they end; the journal's priorities; READY, STATUS and the watchdog.
#include <gtest/gtest.h>

#include <filesystem>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/fake/FakeClock.h"
#include "portable/OperatorReport.h"
#include "ui/memory/MemoryApplication.h"

namespace {

struct FakeServiceManager : platform::ServiceManager {
  bool Notify(const std::string& state) override {
    if (!underSystemd) return false;
    sent.push_back(state);
    return true;
  }
  std::uint32_t WatchdogPingMs() override { return watchdogPingMs; }
  bool StderrIsJournal() override { return journal; }
  bool underSystemd = false;
  bool journal = false;
  std::uint32_t watchdogPingMs = 0;
  std::vector<std::string> sent;
};

// The report writing into memory, its lines read back one by one.
struct Reported {
  explicit Reported(FakeServiceManager& manager, const std::string& controller = "robot1:7000",
                    const std::string& runtimeDirectory = "", platform::Tick startsAt = 0)
      : app(clock) {
    if (startsAt != 0) clock.Advance(startsAt - clock.Now());  // the tick it starts at
    out = open_memstream(&buffer, &size);
    report.emplace(portable::OperatorReport::Setup{.controller = controller,
                                                   .receiver = "sim-host:4849",
                                                   .receiverTrouble = {},
                                                   .addressProblem = {},
                                                   .timeOfDay = [] { return "12:03:10"; },
                                                   .runtimeDirectory = runtimeDirectory},
                   clock, app, manager, out);
  }
  ~Reported() {
    std::fclose(out);
    std::free(buffer);
  }
  std::vector<std::string> Lines() {
    std::fflush(out);
    std::vector<std::string> lines;
    std::string text(buffer, size);
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }

  platform::FakeClock clock;
  ui::memory::MemoryApplication app;
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = nullptr;
  std::optional<portable::OperatorReport> report;
};

using ui::TColor;

}  // namespace

// A controller refusing the connection, retried every 3 s for two minutes: one line at once, one
// a minute with the count, one when it answers; in between, nothing. STATUS follows along.
TEST(OperatorReport, ARepeatedFailureIsSaidOnceAMinuteAndWhenItEnds) {
  FakeServiceManager manager;
  manager.underSystemd = true;
  Reported r(manager);
  auto& report = *r.report;
  report.Start();
  report.OnIndicator("Cross", TColor::Red);
  report.OnIndicator("Arm", TColor::Red);
  report.Shown();
  for (int attempt = 0; attempt < 41; ++attempt) {  // 0 s to 120 s
    report.ControllerConnect(false, "connection refused");
    report.OnIndicator("Cross", TColor::Red);
    r.clock.Advance(3000);
  }
  report.ControllerConnect(true, "");
  report.OnIndicator("Cross", TColor::Yellow);
  report.OnIndicator("Cross", TColor::Green);
  EXPECT_EQ(r.Lines(),
            (std::vector<std::string>{
                "jointcast: connecting to controller robot1:7000, sending to sim-host:4849",
                "jointcast: Cross red", "jointcast: Arm red",
                "jointcast: controller robot1:7000 unreachable: connection refused",
                "jointcast: controller robot1:7000 still unreachable: connection refused "
                "(since 12:03:10, 21 tries)",
                "jointcast: controller robot1:7000 still unreachable: connection refused "
                "(since 12:03:10, 41 tries)",
                "jointcast: controller robot1:7000 answers again, after 41 failed tries "
                "since 12:03:10",
                "jointcast: Cross yellow", "jointcast: Cross green"}));
  ASSERT_GE(manager.sent.size(), 3u);
  EXPECT_EQ(manager.sent[0], "READY=1");
  EXPECT_EQ(manager.sent[1], "STATUS=connecting to controller robot1:7000");
  EXPECT_EQ(
      manager.sent[2],
      "STATUS=controller robot1:7000 unreachable: connection refused (since 12:03:10, 1 try)");
}

// Registered but never ready: the cycle's yellow-red round every 6 s is one failure, not two
// lines a round. A read that fails after streaming is one too.
TEST(OperatorReport, TheCyclesRetriesAreSaidAsTheFailureTheyAre) {
  FakeServiceManager manager;
  Reported r(manager);
  auto& report = *r.report;
  report.OnIndicator("Cross", TColor::Red);
  for (int round = 0; round < 5; ++round) {
    report.OnIndicator("Cross", TColor::Yellow);
    r.clock.Advance(3000);
    report.OnIndicator("Cross", TColor::Red);
    r.clock.Advance(3000);
  }
  report.OnIndicator("Cross", TColor::Yellow);
  report.OnIndicator("Cross", TColor::Green);
  report.OnIndicator("Cross", TColor::Red);
  EXPECT_EQ(
      r.Lines(),
      (std::vector<std::string>{
          "jointcast: Cross red", "jointcast: Cross yellow",
          "jointcast: controller robot1:7000 does not answer: no reply within 3 s",
          "jointcast: controller robot1:7000 answers again, after 5 failed tries since "
          "12:03:10",
          "jointcast: Cross green", "jointcast: controller robot1:7000 lost: a read failed"}));
  EXPECT_TRUE(manager.sent.empty());  // not started by systemd: nothing to tell
  // Ready checks that pass and reads that fail, round after round: still the one failure, with
  // its first time, until a read succeeds.
  const std::size_t before = r.Lines().size();
  for (int round = 0; round < 10; ++round) {
    r.clock.Advance(3000);
    report.OnIndicator("Cross", TColor::Yellow);
    report.OnIndicator("Cross", TColor::Green);
    r.clock.Advance(500);
    report.OnIndicator("Cross", TColor::Red);
  }
  EXPECT_EQ(r.Lines().size(), before);
  report.OnIndicator("Cross", TColor::Yellow);
  report.OnIndicator("Cross", TColor::Green);
  report.OnIndicator("Arm", TColor::Green);
  const auto lines = r.Lines();
  ASSERT_EQ(lines.size(), before + 2);
  EXPECT_EQ(
      lines[before],
      "jointcast: controller robot1:7000 answers again, after 11 failed tries since 12:03:10");
  EXPECT_EQ(lines[before + 1], "jointcast: Arm green");
}

// Under systemd with a watchdog and the journal: priorities on each line, WATCHDOG=1 from the
// loop at half the watchdog time, and the rate of readings sent in STATUS.
TEST(OperatorReport, JournalPrioritiesWatchdogAndRate) {
  FakeServiceManager manager;
  manager.underSystemd = manager.journal = true;
  manager.watchdogPingMs = 2500;
  Reported r(manager, "");
  auto& report = *r.report;
  report.Start();
  report.OnIndicator("Cross", TColor::Red);
  report.Shown();
  report.OnIndicator("Cross", TColor::Green);
  for (int reading = 0; reading < 26; ++reading) {  // five a second for 5.2 s
    report.OnIndicator("Arm", TColor::Green);
    r.clock.Advance(200);
    r.app.ProcessMessages();  // the loop runs what has come due
  }
  report.OnStatusLine("can't read variable", true);
  const std::vector<std::string> lines = r.Lines();
  EXPECT_EQ(lines,
            (std::vector<std::string>{
                "<6>reading the simulated controller, sending to sim-host:4849", "<6>Cross red",
                "<6>Cross green", "<6>Arm green",
                "<3>can't read variable: the simulated controller did not answer a read within "
                "3 s; the program ends"}));
  int pings = 0;
  bool rate = false;
  for (const std::string& state : manager.sent) {
    pings += state == "WATCHDOG=1";
    rate = rate || state == "STATUS=streaming to sim-host:4849, 5.0/s";
  }
  EXPECT_EQ(pings, 3);  // at 0, 2.6 and 5.2 s: the loop runs what is due as it comes
  EXPECT_TRUE(rate);
  EXPECT_EQ(manager.sent.back(),
            "STATUS=the simulated controller did not answer a read within 3 s (since 12:03:10, "
            "1 try)");
}

// A reading that is not six numbers is quoted once, with every byte that would not print shown
// safely, then once a minute, and STATUS blames the reading, not the receivers; a usable one
// ends it. A connection reset under the ready check says so, not "no reply".
TEST(OperatorReport, UnusableReadingsAndABrokenConnectionSayTheirCause) {
  FakeServiceManager manager;
  manager.underSystemd = true;
  Reported r(manager);
  auto& report = *r.report;
  report.OnIndicator("Cross", TColor::Green);
  report.OnIndicator("Arm", TColor::Green);
  report.Shown();
  const std::string nul("{E6AXIS: A1 1\0, A2 2}", 21);
  for (int reading = 0; reading < 301; ++reading) {  // 60 s at five a second
    report.ControllerReading(reading == 0 ? nul : "{E6AXIS: A1 nan, A2 0, A3 0, A4 0, A5 0, A6 0}");
    if (reading == 0) report.OnIndicator("Arm", TColor::Red);
    r.clock.Advance(200);
  }
  EXPECT_EQ(manager.sent.back(),
            "STATUS=reading controller robot1:7000, not sending: its reading is not six "
            "numbers: \"{E6AXIS: A1 nan, A2 0, A3 0, A4 0, A5 0, A6 0}\"");
  report.ControllerReading("{E6AXIS: A1 1, A2 2, A3 3, A4 4, A5 5, A6 6}");
  report.OnIndicator("Arm", TColor::Green);

  report.OnIndicator("Cross", TColor::Red);
  report.OnIndicator("Cross", TColor::Yellow);
  report.ControllerDisconnected("connection reset by peer");
  report.OnIndicator("Cross", TColor::Red);
  const auto lines = r.Lines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[2],
            "jointcast: controller robot1:7000 sends a reading that is not six numbers, so "
            "nothing is sent: \"{E6AXIS: A1 1\\x00, A2 2}\"");
  EXPECT_EQ(lines[4],
            "jointcast: controller robot1:7000 still sends readings that are not six numbers "
            "(since 12:03:10, 301 readings), the last: \"{E6AXIS: A1 nan, A2 0, A3 0, A4 0, A5 0, "
            "A6 0}\"");
  EXPECT_EQ(lines[5],
            "jointcast: controller robot1:7000 sends readings of six numbers again, after 301 "
            "that were not, since 12:03:10");
  EXPECT_EQ(lines.back(),
            "jointcast: controller robot1:7000 does not answer: the connection broke: connection "
            "reset by peer");
}

// systemd restarts the service at each read time-out: a controller that passes the ready check
// and answers no read goes round that every few seconds. The runs tell each other through the
// runtime directory: the loop is said once a minute, each start's lines at debug level, and its
// end once.
TEST(OperatorReport, ARestartLoopIsSaidOnceAMinuteAcrossRestarts) {
  FakeServiceManager manager;
  manager.journal = true;
  const std::string directory = ::testing::TempDir() + "restart-loop";
  std::filesystem::remove_all(directory);
  std::filesystem::create_directories(directory);
  platform::Tick at = 100000;
  std::vector<std::string> said;  // what each start said at a priority shown by default
  const auto run = [&](bool readsAnswered) {
    Reported r(manager, "robot1:7000", directory, at);
    auto& report = *r.report;
    report.Start();
    report.OnIndicator("Cross", TColor::Red);
    report.OnIndicator("Arm", TColor::Red);
    report.OnIndicator("Cross", TColor::Yellow);
    report.OnIndicator("Cross", TColor::Green);
    r.clock.Advance(3000);
    if (readsAnswered) {
      report.OnIndicator("Arm", TColor::Green);
    } else {
      report.OnStatusLine("can't read variable", true);
    }
    for (const std::string& line : r.Lines()) {
      if (line.rfind("<7>", 0) != 0) said.push_back(line);
    }
    at = r.clock.Now() + 2000;  // RestartSec
  };
  for (int start = 0; start < 26; ++start) run(false);  // 26 starts, 5 s apart: 125 s
  run(true);
  EXPECT_EQ(said,
            (std::vector<std::string>{
                "<6>connecting to controller robot1:7000, sending to sim-host:4849", "<6>Cross red",
                "<6>Arm red", "<6>Cross yellow", "<6>Cross green",
                "<3>can't read variable: controller robot1:7000 did not answer a read within 3 s; "
                "the program ends",
                "<3>can't read variable: controller robot1:7000 still answers no read within 3 s "
                "(since 12:03:10, 13 restarts); the program ends",
                "<3>can't read variable: controller robot1:7000 still answers no read within 3 s "
                "(since 12:03:10, 25 restarts); the program ends",
                "<5>controller robot1:7000 answers reads again, after 26 restarts since 12:03:10",
                "<6>Arm green"}));
  // A start long after the loop's last end is no part of it.
  at += portable::RestartLoop::kWithinMs;
  said.clear();
  run(false);
  EXPECT_EQ(said.size(), 6u);
}
