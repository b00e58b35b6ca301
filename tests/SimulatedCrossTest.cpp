#include <gtest/gtest.h>

#include "app/AxisReply.h"
#include "lib/sim/SimulatedCross.h"
#include "platform/fake/FakeClock.h"
#include "ui/memory/MemoryApplication.h"

namespace {

struct SimFixture {
  platform::FakeClock clock;
  ui::memory::MemoryApplication app{clock};
  sim::SimulatedCross cross{app, clock, 5};
  std::vector<crosslib::JobNumber> events;
  SimFixture() {
    cross.OnCmdMessage = [this](crosslib::JobNumber job, std::int32_t) { events.push_back(job); };
  }
};

}  // namespace

TEST(SimulatedCross, JobProtocol) {
  SimFixture s;
  EXPECT_EQ(s.cross.KRCOk(), 0);  // not registered: not accepted
  ASSERT_TRUE(s.cross.Init(u"Client", u"", 0));
  const crosslib::JobNumber check = s.cross.KRCOk();
  EXPECT_NE(check, 0);
  EXPECT_TRUE(s.events.empty());  // never inside the call
  EXPECT_FALSE(s.cross.KRCOkResult(check));
  s.app.RunFor(5);
  EXPECT_EQ(s.events, std::vector<crosslib::JobNumber>{check});
  EXPECT_TRUE(s.cross.KRCOkResult(check));

  const crosslib::JobNumber read = s.cross.ShowVar(u"$axis_act", u"");
  const crosslib::JobNumber unknown = s.cross.ShowVar(u"$NOSUCHVAR", u"");
  EXPECT_EQ(read + 1, unknown);
  s.app.RunFor(10);
  std::u16string text;
  EXPECT_FALSE(s.cross.ShowVarResult(unknown, text));
  ASSERT_TRUE(s.cross.ShowVarResult(read, text));
  EXPECT_EQ(text.rfind(u"$AXIS_ACT = {E6AXIS: A1 ", 0), 0u);
  EXPECT_NE(text.find(u", E6 0.0}"), std::u16string::npos);
  EXPECT_TRUE(jointcast::ScanAxisReply(text).has_value());

  s.cross.Exit();
  EXPECT_EQ(s.cross.ShowVar(u"$AXIS_ACT", u""), 0);
}

TEST(SimulatedCross, JobNumbersWrapAndSkipZero) {
  SimFixture s;
  s.cross.faults.neverComplete = true;
  ASSERT_TRUE(s.cross.Init(u"Client", u"", 0));
  crosslib::JobNumber previous = s.cross.KRCOk();
  for (int i = 0; i < 70000; ++i) {
    const crosslib::JobNumber job = s.cross.KRCOk();
    ASSERT_NE(job, 0);
    if (previous == -1) {
      EXPECT_EQ(job, 1);
    } else {
      EXPECT_EQ(job, static_cast<crosslib::JobNumber>(previous + 1));
    }
    previous = job;
  }
}

TEST(SimulatedCross, NoEventAfterTheControlIsDestroyed) {
  platform::FakeClock clock;
  ui::memory::MemoryApplication app{clock};
  int events = 0;
  {
    sim::SimulatedCross cross(app, clock, 5);
    cross.OnCmdMessage = [&](crosslib::JobNumber, std::int32_t) { ++events; };
    cross.Init(u"Client", u"", 0);
    cross.ShowVar(u"$AXIS_ACT", u"");
  }
  app.RunFor(50);
  EXPECT_EQ(events, 0);
}

TEST(SimulatedArm, MovesWithinLimitsAndWritesControllerReals) {
  sim::SimulatedArm arm;
  const auto a = arm.AnglesAt(0), b = arm.AnglesAt(200);
  int moved = 0;
  for (int i = 0; i < 6; ++i) {
    moved += a[i] != b[i];
    for (std::uint32_t t = 0; t < 60000; t += 250) {
      EXPECT_LE(std::abs(arm.AnglesAt(t)[i]), 180.0f + (i == 5 ? 180.0f : 0.0f));
    }
  }
  EXPECT_EQ(moved, 6);
  EXPECT_EQ(sim::FormatControllerReal(-73.70981f), "-73.70981");
  EXPECT_EQ(sim::FormatControllerReal(-3.821331e-4f), "-3.821331E-04");
  EXPECT_EQ(sim::FormatControllerReal(0.0f), "0.0");
  EXPECT_EQ(sim::FormatControllerReal(90.0f), "90.0");
  EXPECT_EQ(sim::FormatControllerReal(1.5e-5f), "1.5E-05");
  EXPECT_EQ(sim::FormatControllerReal(0.00125f), "0.00125");
}
