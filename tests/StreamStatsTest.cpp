#include <gtest/gtest.h>

#include "tools/listen/StreamStats.h"

TEST(Listener, RecognisesPositionDatagrams) {
  EXPECT_TRUE(
      receiver::IsPositionDatagram("12.345600 0.000000 180.000000 -180.500000 7.000000 45.678001"));
  EXPECT_TRUE(
      receiver::IsPositionDatagram("1.000000 2.000000 3.000000 4.000000 5.000000 -0.000000"));
  EXPECT_TRUE(receiver::IsPositionDatagram(
      "-999999995904.000000 2.000000 3.000000 4.000000 5.000000 6.000000"));
  const std::string six = "1.000000 2.000000 3.000000 4.000000 5.000000 6.000000";
  for (const std::string& bad :
       {std::string(), std::string("1 2 3 4 5 6"), std::string("1.5 2.5 3.5 4.5 5.5 6.5"),
        std::string(400, '7') + six.substr(1), six + "\n", six + " ", " " + six,
        std::string("1.000000  2.000000 3.000000 4.000000 5.000000 6.000000"), six.substr(9),
        six + " 7.000000", std::string("1,000000") + six.substr(8),
        std::string("+1.000000") + six.substr(8), std::string("1.0000000") + six.substr(8),
        std::string(".000000") + six.substr(8), std::string("nan") + six.substr(8)}) {
    EXPECT_FALSE(receiver::IsPositionDatagram(bad)) << bad;
  }
  EXPECT_FALSE(receiver::IsPositionDatagram(six + std::string(1, '\0')));
}

TEST(Listener, PrintsAnyPayloadSafelyOnOneLine) {
  EXPECT_EQ(receiver::Printable("ok 1"), "ok 1");
  EXPECT_EQ(receiver::Printable(std::string_view("a\nb\0\\\xff", 6)), "a\\x0ab\\x00\\x5c\\xff");
  EXPECT_EQ(receiver::Printable(std::string(100, 'x'), 4), "xxxx...");
}

TEST(Listener, SummarisesIntervals) {
  const auto empty = receiver::Summarize({});
  EXPECT_EQ(empty.count, 0u);
  std::vector<double> intervals(100, 200.0);
  intervals[10] = 400.0;
  intervals[20] = 210.0;
  const auto s = receiver::Summarize(intervals);
  EXPECT_EQ(s.count, 100u);
  EXPECT_DOUBLE_EQ(s.mean, 202.1);
  EXPECT_DOUBLE_EQ(s.median, 200.0);
  EXPECT_DOUBLE_EQ(s.p99, 210.0);
  EXPECT_DOUBLE_EQ(s.max, 400.0);
}

// The listener's per-sender statistics in fixed memory: within 1 % of the exact ones, however
// many intervals or how few (a sender with two datagrams has one), and exact for count, mean and
// maximum.
TEST(Listener, IntervalHistogramIsWithinOnePercent) {
  for (const std::vector<double>& intervals :
       {std::vector<double>(1000, 200.0), std::vector<double>{0.001, 5.0, 5.0, 1e9},
        std::vector<double>{200.0}, std::vector<double>{3000.0, 5.0, 200.0}, [] {
          std::vector<double> v;
          for (int i = 0; i < 10000; ++i) v.push_back(190.0 + (i * 7919 % 211) * 0.1);
          v.push_back(3600000.0);
          return v;
        }()}) {
    receiver::IntervalHistogram histogram;
    for (double ms : intervals) histogram.Add(ms);
    const auto exact = receiver::Summarize(intervals);
    const auto kept = histogram.Summary();
    EXPECT_EQ(kept.count, exact.count);
    EXPECT_DOUBLE_EQ(kept.mean, exact.mean);
    EXPECT_DOUBLE_EQ(kept.max, exact.max);
    EXPECT_NEAR(kept.median, exact.median, exact.median * 0.01 + 0.01);
    EXPECT_NEAR(kept.p99, exact.p99, exact.p99 * 0.01 + 0.01);
  }
}
