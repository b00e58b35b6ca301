// The listener's outputs: a slow destination never holds up the receiver, and every datagram it
// does not write is counted.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/listen/Printer.h"
#include "tools/listen/QueuedOutput.h"

namespace {

using Clock = std::chrono::steady_clock;

// Writes nothing while held, as a pipe nobody reads; gives up when told to stop.
class HeldSink : public receiver::Sink {
 public:
  std::atomic<bool> held{true};
  std::atomic<int> written{0};
  std::atomic<bool> finished{false};

  bool Wants(const receiver::Arrival& arrival) const override { return arrival.wellFormed; }
  void Write(const receiver::Arrival&, const std::atomic<bool>& stop) override {
    while (held && !stop) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!held) ++written;
  }
  void Finish(const std::atomic<bool>&) override { finished = true; }
  std::uint64_t NotWritten() const override { return 0; }
  std::string Losses(std::uint64_t notWritten, std::uint64_t dropped) const override {
    return std::to_string(notWritten) + " not written, " + std::to_string(dropped) + " dropped";
  }
  std::string Label() const override { return "held"; }
};

receiver::Arrival Position() {
  receiver::Arrival arrival;
  arrival.wellFormed = true;
  arrival.payload = "1.500000 -2.250000 3.000000 4.000000 5.000000 6.000000";
  return arrival;
}

}  // namespace

TEST(QueuedOutput, AFullQueueDropsCountsAndSaysSoOnceWithoutWaiting) {
  auto sink = std::make_unique<HeldSink>();
  HeldSink& held = *sink;
  std::vector<std::string> said;
  receiver::QueuedOutput output(
      "the test sink", std::move(sink), [&](const std::string& text) { said.push_back(text); }, 10);
  receiver::Arrival malformed = Position();
  malformed.wellFormed = false;
  for (int i = 0; i < 100; ++i) output.Take(Position());  // returns although nothing is written
  output.Take(malformed);                                 // not wanted: neither queued nor lost
  // One may be in the sink's hands, ten wait; the rest are dropped.
  EXPECT_GE(output.Lost(), 89u);
  EXPECT_LE(output.Lost(), 90u);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("the test sink does not keep up"), std::string::npos);
  // Released, what waited is written and nothing more is lost.
  const std::uint64_t dropped = output.Lost();
  held.held = false;
  output.Close(Clock::now() + std::chrono::seconds(10));
  EXPECT_TRUE(held.finished);
  EXPECT_EQ(static_cast<std::uint64_t>(held.written) + dropped, 100u);
  EXPECT_EQ(output.LossLine(), "0 not written, " + std::to_string(dropped) + " dropped");
}

TEST(QueuedOutput, CloseEndsAStuckSinkAtTheDeadlineAndCountsWhatWaited) {
  auto sink = std::make_unique<HeldSink>();
  HeldSink& held = *sink;
  receiver::QueuedOutput output("stuck", std::move(sink), {}, 100);
  for (int i = 0; i < 20; ++i) output.Take(Position());
  const auto began = Clock::now();
  output.Close(began + std::chrono::milliseconds(50));
  EXPECT_LT(Clock::now() - began, std::chrono::seconds(5));  // a hang, not a timing check
  EXPECT_TRUE(held.finished);
  EXPECT_EQ(held.written, 0);
  EXPECT_GE(output.Lost(), 19u);  // the one in the sink's hands gave up without a count
  output.Take(Position());        // after Close: ignored, not a crash
}

// A printer whose reader stopped reading gives up when told and counts the line; the lines say
// the time, the sender once several send, the interval, and MALFORMED.
TEST(Printer, LinesAndAReaderThatStopped) {
  receiver::Arrival arrival = Position();
  arrival.unixTime = 1765222222.1239;
  std::string line = receiver::Printer::Line(arrival);
  EXPECT_EQ(line.substr(8), ".123      first  " + arrival.payload + "\n");
  arrival.intervalMs = 200.06;
  arrival.severalSenders = true;
  arrival.name = "robot-7";
  arrival.wellFormed = false;
  arrival.payload = "bad\x01";
  EXPECT_EQ(receiver::Printer::Line(arrival).substr(12),
            " robot-7   +200.1 ms  MALFORMED bad\\x01\n");

  int pipe[2];
  ASSERT_EQ(pipe2(pipe, O_CLOEXEC), 0);
  fcntl(pipe[1], F_SETPIPE_SZ, 4096);
  receiver::Printer printer(pipe[1], false);
  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop = true;
  });
  for (int i = 0; i < 200 && printer.NotWritten() == 0; ++i) printer.Write(Position(), stop);
  stopper.join();
  EXPECT_EQ(printer.NotWritten(), 1u);
  EXPECT_EQ(printer.Losses(1, 2),
            "printing: 3 lines not printed (standard output did not keep up)");
  close(pipe[0]);
  close(pipe[1]);
}
