#include <gtest/gtest.h>

#include "tools/listen/FoxgloveServer.h"
#include "tools/listen/LiveSenders.h"
#include "tools/listen/LiveView.h"
#include "tools/listen/Metrics.h"

namespace {

using receiver::LiveSenders;
using namespace std::chrono_literals;

const char* const kSix = "1.000000 2.000000 3.000000 4.000000 5.000000 6.000000";
constexpr double kStart = 1765222222;  // unix time at t0

struct LiveSendersFixture : ::testing::Test {
  LiveSenders senders;
  LiveSenders::Clock::time_point t0{};  // a fake clock: time passes only here

  void Add(std::chrono::milliseconds at, const std::string& address, bool good = true) {
    senders.Add(t0 + at, kStart + std::chrono::duration<double>(at).count(), address,
                address == "10.0.0.5" ? "cell3-robot1" : address, good ? kSix : "junk", good);
  }
  LiveSenders::Changes Since(std::chrono::milliseconds at, std::uint64_t seen) {
    return senders.ChangedSince(t0 + at, seen);
  }
};

TEST_F(LiveSendersFixture, ShowsValuesRateGapAndMalformed) {
  for (int i = 0; i < 20; ++i) Add(std::chrono::milliseconds(200 * i), "10.0.0.5");
  Add(3950ms, "10.0.0.5", false);
  const auto changes = Since(3950ms, 0);
  ASSERT_EQ(changes.changed.size(), 1u);
  const receiver::LiveSender& shown = changes.changed[0];
  EXPECT_EQ(shown.name, "cell3-robot1");
  EXPECT_EQ(shown.values, kSix);  // the malformed one does not replace the values
  EXPECT_EQ(shown.received, 21u);
  EXPECT_EQ(shown.malformed, 1u);
  EXPECT_DOUBLE_EQ(shown.lastGapMs, 150);
  EXPECT_NEAR(shown.ratePerS, 5, 0.3);
  EXPECT_FALSE(shown.silent);
  EXPECT_DOUBLE_EQ(shown.lastUnixTime, kStart + 3.95);
}

TEST_F(LiveSendersFixture, ViewersGetOnlyWhatChangedSinceTheyLooked) {
  Add(0ms, "10.0.0.5");
  Add(0ms, "10.0.0.6");
  const auto first = Since(0ms, 0);
  EXPECT_EQ(first.changed.size(), 2u);
  EXPECT_TRUE(Since(100ms, first.version).changed.empty());
  Add(200ms, "10.0.0.6");
  const auto second = Since(200ms, first.version);
  ASSERT_EQ(second.changed.size(), 1u);
  EXPECT_EQ(second.changed[0].address, "10.0.0.6");
  EXPECT_EQ(Since(200ms, 0).changed.size(), 2u);  // a new viewer gets everything
}

TEST_F(LiveSendersFixture, SilenceIsJudgedFromTheSendersOwnPace) {
  for (int i = 0; i <= 10; ++i) Add(std::chrono::milliseconds(200 * i), "10.0.0.5");
  for (int i = 0; i <= 1; ++i) Add(std::chrono::milliseconds(2000 * i), "10.0.0.6");  // 0.5/s
  auto seen = Since(2000ms, 0).version;
  // 2000 ms after the last: silent at 200 ms a datagram, not yet at 2 s a datagram.
  auto changes = Since(4000ms, seen);
  ASSERT_EQ(changes.changed.size(), 1u);
  EXPECT_EQ(changes.changed[0].address, "10.0.0.5");
  EXPECT_TRUE(changes.changed[0].silent);
  EXPECT_EQ(changes.changed[0].ratePerS, 0);
  seen = changes.version;
  EXPECT_TRUE(Since(4500ms, seen).changed.empty());  // said once, not at every look
  changes = Since(8001ms, seen);
  ASSERT_EQ(changes.changed.size(), 1u);
  EXPECT_EQ(changes.changed[0].address, "10.0.0.6");
  seen = changes.version;
  Add(8100ms, "10.0.0.5");  // back, and at its old pace at once: the silence is no interval
  Add(8300ms, "10.0.0.5");
  changes = Since(8300ms, seen);
  ASSERT_EQ(changes.changed.size(), 1u);
  EXPECT_FALSE(changes.changed[0].silent);
  EXPECT_DOUBLE_EQ(changes.changed[0].ratePerS, 5);
  EXPECT_EQ(Since(9400ms, changes.version).changed.size(), 1u);  // silent again within 1.1 s
  // A viewer that comes later gets the same silence: it counts from the last datagram.
  const auto later = Since(30000ms, 0);
  ASSERT_EQ(later.changed.size(), 2u);
  EXPECT_TRUE(later.changed[0].silent);
  EXPECT_DOUBLE_EQ(later.changed[0].lastUnixTime, kStart + 8.3);
}

TEST_F(LiveSendersFixture, ForgetsASenderSilentForAnHour) {
  Add(0ms, "10.0.0.5");
  Add(0ms, "10.0.0.6");
  const auto seen = Since(0ms, 0).version;
  Add(3000s, "10.0.0.6");
  const auto changes = Since(3601s, seen);
  EXPECT_EQ(changes.forgotten, std::vector<std::string>{"10.0.0.5"});
  EXPECT_EQ(senders.Size(), 1u);
  EXPECT_TRUE(Since(3601s, 0).forgotten.empty());  // a new viewer never knew it
  Add(3700s, "10.0.0.5");                          // and it may come back
  EXPECT_EQ(senders.Size(), 2u);
}

TEST_F(LiveSendersFixture, ShowsABoundedNumberOfSenders) {
  for (std::size_t i = 0; i < LiveSenders::kMaxSenders + 10; ++i) {
    Add(0ms, "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250));
  }
  const auto changes = Since(0ms, 0);
  EXPECT_EQ(changes.changed.size(), LiveSenders::kMaxSenders);
  EXPECT_TRUE(changes.full);
  EXPECT_FALSE(Since(3601s, 0).full);  // the silent ones forgotten: room again
  Add(3602s, "10.9.9.9");
  EXPECT_EQ(senders.Size(), 1u);
}

// The robots the names file lists are shown before they are heard, as silent since the start,
// and are never forgotten for that; one taken out of the file and never heard goes.
TEST_F(LiveSendersFixture, NamedSendersAreShownBeforeTheyAreHeard) {
  senders.Expect({{"10.0.0.7", "cell3-robot3"}, {"10.0.0.8:40001", "cell3-robot4"}}, t0, kStart);
  Add(0ms, "10.0.0.5");
  auto changes = Since(7200s, 0);
  ASSERT_EQ(changes.changed.size(), 2u);  // the heard one is forgotten after its hour
  EXPECT_EQ(changes.changed[0].name, "cell3-robot3");
  EXPECT_TRUE(changes.changed[0].silent);
  EXPECT_EQ(changes.changed[0].received, 0u);
  EXPECT_DOUBLE_EQ(changes.changed[0].lastUnixTime, kStart);
  senders.Expect({{"10.0.0.7", "cell3-robot3"}}, t0 + 7200s, kStart + 7200);
  changes = Since(7200s, changes.version);
  EXPECT_EQ(changes.forgotten, std::vector<std::string>{"10.0.0.8:40001"});
  Add(7201s, "10.0.0.7");
  changes = Since(7201s, changes.version);
  ASSERT_EQ(changes.changed.size(), 1u);
  EXPECT_FALSE(changes.changed[0].silent);
  EXPECT_EQ(changes.changed[0].received, 1u);
}

TEST(LiveView, SenderJsonEscapesWhatIsNotItsOwn) {
  receiver::LiveSender sender;
  sender.address = "10.0.0.5";
  sender.name = "r\"ob\\ot\x01";
  sender.values = kSix;
  sender.ratePerS = 5;
  sender.lastGapMs = 200.04;
  sender.lastUnixTime = 1765222222.25;
  EXPECT_EQ(receiver::SenderJson(sender),
            "{\"address\":\"10.0.0.5\",\"name\":\"r\\\"ob\\\\ot\\u0001\",\"values\":\"" +
                std::string(kSix) +
                "\",\"rate\":5.0,\"gapMs\":200.0,\"silent\":false,\"last\":1765222222.250,"
                "\"received\":0,\"malformed\":0}");
}

}  // namespace

// The exposition format: label values escaped, a summary with its quantiles, sum and count, and
// the broker's gauge only when there is a broker.
TEST(Metrics, PrometheusTextFormat) {
  receiver::RobotMetrics robot{"cell \"3\"\\robot", 10, 1, 0.25, false, {}};
  robot.intervals = {9, 200, 200, 250, 250};
  const std::string text = receiver::MetricsText({robot}, {{{"csv", 2}}, std::nullopt, 3});
  for (const char* line :
       {"jointcast_datagrams_total{robot=\"cell \\\"3\\\"\\\\robot\"} 10\n",
        "jointcast_malformed_total{robot=\"cell \\\"3\\\"\\\\robot\"} 1\n",
        "jointcast_last_datagram_age_seconds{robot=\"cell \\\"3\\\"\\\\robot\"} 0.25\n",
        "jointcast_silent{robot=\"cell \\\"3\\\"\\\\robot\"} 0\n",
        "jointcast_interval_seconds{robot=\"cell \\\"3\\\"\\\\robot\",quantile=\"0.99\"} 0.25\n",
        "jointcast_interval_seconds_sum{robot=\"cell \\\"3\\\"\\\\robot\"} 1.8\n",
        "jointcast_interval_seconds_count{robot=\"cell \\\"3\\\"\\\\robot\"} 9\n",
        "jointcast_output_dropped_total{output=\"csv\"} 2\n", "jointcast_kernel_dropped_total 3\n",
        "# TYPE jointcast_interval_seconds summary\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(text.find("jointcast_mqtt_connected"), std::string::npos);
  EXPECT_NE(receiver::MetricsText({}, {{}, false, 0}).find("jointcast_mqtt_connected 0\n"),
            std::string::npos);
}

// Foxglove's joint states: radians from the degrees received, the arrival time split into
// seconds and nanoseconds.
TEST(Foxglove, JointStatesInRadians) {
  const std::string json = receiver::JointStatesJson(
      1765222222.25, "90.000000 180.000000 -45.000000 0.000000 360.000000 -0.500000");
  EXPECT_EQ(json.rfind("{\"timestamp\":{\"sec\":1765222222,\"nsec\":250000000},\"joints\":[", 0),
            0u)
      << json;
  EXPECT_NE(json.find("{\"name\":\"A1\",\"position\":1.5707963267948966}"), std::string::npos);
  EXPECT_NE(json.find("{\"name\":\"A2\",\"position\":3.141592653589793}"), std::string::npos);
  EXPECT_NE(json.find("{\"name\":\"A6\",\"position\":-0.008726646259971648}]}"), std::string::npos)
      << json;
}
