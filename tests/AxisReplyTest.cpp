#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "app/AxisReply.h"
#include "app/FixedDecimal.h"
#include "app/PositionDatagram.h"
#include "app/ValueLabel.h"

using jointcast::AxisValues;
using jointcast::FormatPositionDatagram;
using jointcast::ScanAxisReply;

namespace {

std::string Datagram(const AxisValues& values) {
  char buffer[128];
  const auto length = FormatPositionDatagram(values, buffer, sizeof buffer);
  return length ? std::string(buffer, *length) : std::string("<none>");
}

std::u16string Reply(const char* values) {
  std::u16string text;
  for (const char* c = values; *c; ++c) text += static_cast<char16_t>(*c);
  return text;
}

}  // namespace

TEST(PositionDatagram, MatchesPrintfByteForByte) {
  EXPECT_EQ(Datagram({0, 0, 0, 0, 0, 0}), "0.000000 0.000000 0.000000 0.000000 0.000000 0.000000");
  EXPECT_EQ(Datagram({0, 0, 0, 0, 0, 0}).size(), 53u);
  EXPECT_EQ(Datagram({0, -90, 90, 0, 0, 0}),
            "0.000000 -90.000000 90.000000 0.000000 0.000000 0.000000");
  const std::string example = Datagram({12.3456f, 0, 180, -180.5f, 7, 45.678f});
  EXPECT_EQ(example, "12.345600 0.000000 180.000000 -180.500000 7.000000 45.678001");
  EXPECT_EQ(example.size(), 60u);
  // printf keeps the sign of a negative value that rounds to zero; receivers may parse it.
  EXPECT_EQ(Datagram({-1e-7f, 0.0000006f, 0, 0, 0, 0}).substr(0, 19), "-0.000000 0.000001 ");
}

TEST(PositionDatagram, NeverOverrunsTheBufferNorSendsNanOrInf) {
  const float big = 999999995904.0f;  // the largest float below 1e12
  char buffer[128];
  const auto length = FormatPositionDatagram({-big, -big, -big, -big, -big, -big}, buffer, 128);
  ASSERT_TRUE(length.has_value());
  EXPECT_EQ(*length, 6 * 20u + 5u);
  EXPECT_EQ(buffer[*length], '\0');
  const float inf = std::numeric_limits<float>::infinity();
  for (const AxisValues& bad : {AxisValues{2e12f, 0, 0, 0, 0, 0}, AxisValues{0, -inf, 0, 0, 0, 0},
                                AxisValues{0, 0, std::nanf(""), 0, 0, 0}}) {
    EXPECT_FALSE(jointcast::Sendable(bad));
    EXPECT_FALSE(FormatPositionDatagram(bad, buffer, sizeof buffer).has_value());
    EXPECT_EQ(buffer[0], '\0');
  }
  // A buffer too small for the text yields nothing rather than a cut datagram.
  EXPECT_FALSE(FormatPositionDatagram({1, 2, 3, 4, 5, 6}, buffer, 20).has_value());
  EXPECT_EQ(buffer[0], '\0');
}

TEST(ValueLabel, TwoDecimalsAsciiDigitsAndTheLocaleSeparator) {
  using jointcast::ValueLabelText;
  EXPECT_EQ(ValueLabelText(-0.004f, "."), "0.00");  // no "-0.00"
  EXPECT_EQ(ValueLabelText(-0.006f, "."), "-0.01");
  EXPECT_EQ(ValueLabelText(12.3456f, ","), "12,35");
  EXPECT_EQ(ValueLabelText(-180.5f, "\u066B"), "-180\u066B50");  // a multi-byte separator
  EXPECT_EQ(ValueLabelText(123456.78f, "."), "123456.78");       // no grouping
}

TEST(AxisReply, ReadsTheControllerForms) {
  const AxisValues expected{12.3456f, 0, 180, -180.5f, 7, 45.678f};
  for (const char* text : {
           "$AXIS_ACT = {E6AXIS: A1 12.3456, A2 0.0, A3 180, A4 -180.5, A5 7, A6 45.678}",
           "$AXIS_ACT = {E6AXIS: A1 12.3456, A2 0.0, A3 180, A4 -180.5, A5 7, A6 45.678, E1 0.0, "
           "E2 0.0, E3 0.0, E4 0.0, E5 0.0, E6 0.0}",
           "$AXIS_ACT={E6AXIS: A1 12.3456, A2 0, A3 1.8E+02, A4 -180.5, A5 7, A6 45.678}",
           "{E6AXIS: A1 12.3456, A2 0, A3 180, A4 -180.5, A5 +7, A6 45.678}",
           "  $AXIS_ACT\t=\r\n{  E6AXIS:\tA1 12.3456,A2 0,A3 180,A4 -180.5,A5 7,A6 45.678 trailing",
           "$AXIS_ACT = {E6AXIS: A1 1234.56E-2, A2 -0, A3 180., A4 -180.5, A5 7, A6 45.678}junk",
       }) {
    SCOPED_TRACE(text);
    const auto values = ScanAxisReply(Reply(text));
    ASSERT_TRUE(values.has_value());
    EXPECT_EQ(*values, expected);
  }
  const auto tiny = ScanAxisReply(
      Reply("$AXIS_ACT = {E6AXIS: A1 -3.821331E-04, A2 -73.70981, A3 1, A4 2, A5 3, A6 4}"));
  ASSERT_TRUE(tiny.has_value());
  EXPECT_FLOAT_EQ((*tiny)[0], -3.821331e-4f);
  EXPECT_FLOAT_EQ((*tiny)[1], -73.70981f);
}

TEST(AxisReply, RejectsRepliesWithoutSixNumbers) {
  for (const char* text : {
           "", "$AXIS_ACT", "$AXIS_ACT = {E6AXIS: A1 1, A2 2, A3 3, A4 4, A5 5}",
           "$AXIS_ACT = {E6AXIS: A1 1, A2 2, A3 x, A4 4, A5 5, A6 6}",
           "$AXIS_ACT = {E6AXIS: A1 1 , A2 2, A3 3, A4 4, A5 5, A6 6}",  // space before the comma
           "$AXIS_ACT = {E6POS: X 1, Y 2, Z 3, A 4, B 5, C 6}",
           "$AXIS_ACT = {E6AXIS: A1 1,5, A2 2, A3 3, A4 4, A5 5, A6 6}",  // decimal comma
           "$AXIS_ACT = {E6AXIS: A1 -, A2 2, A3 3, A4 4, A5 5, A6 6}",
           "$AXIS_ACT = {E6AXIS: A1 nan, A2 2, A3 3, A4 4, A5 5, A6 6}",
           "$AXIS_ACT = {E6AXIS: A1 1e99, A2 2, A3 3, A4 4, A5 5, A6 6}",  // out of float range
       }) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(ScanAxisReply(Reply(text)).has_value());
  }
  // An absurdly long number is refused rather than copied into a fixed buffer.
  std::string longNumber =
      "$AXIS_ACT = {E6AXIS: A1 1" + std::string(500, '0') + ", A2 2, A3 3, A4 4, A5 5, A6 6}";
  EXPECT_FALSE(ScanAxisReply(Reply(longNumber.c_str())).has_value());
  std::u16string wide = u"$AXIS_ACT = {E6AXIS\u00e9: A1 1, A2 2, A3 3, A4 4, A5 5, A6 6}";
  EXPECT_TRUE(ScanAxisReply(wide).has_value());  // %*s skips any non-white characters
}

// The datagram's number format must be printf's "%f" of the widened float, digit for digit, for
// every float a reply can hold: a fixed-seed sweep of bit patterns, ties to even included.
TEST(FixedDecimal, MatchesPrintfForFloats) {
  std::uint32_t state = 12345;
  auto next = [&] { return state = state * 1664525u + 1013904223u; };
  std::vector<float> values{0.0f,    -0.0f,       1.0f / 128,      -1.0f / 128, 0.5e-6f,
                            2.5f,    999999.9f,   -180.5f,         45.678f,     1e-45f,
                            -1e-45f, 9.99999e11f, 3.0517578125e-5f};
  while (values.size() < 200000) {
    float value;
    const std::uint32_t bits = next();
    std::memcpy(&value, &bits, sizeof value);
    if (std::isfinite(value) && std::fabs(value) < 1e12f) values.push_back(value);
  }
  for (float value : values) {
    for (int decimals : {2, 6}) {
      char expected[64], got[64];
      std::snprintf(expected, sizeof expected, "%.*f", decimals, static_cast<double>(value));
      const std::size_t length = jointcast::FormatFixed(value, decimals, got, sizeof got);
      ASSERT_EQ(std::string(got, length), expected) << value << " with " << decimals;
    }
  }
  char small[4];
  EXPECT_EQ(jointcast::FormatFixed(12.5f, 6, small, sizeof small), 0u);  // does not fit
  EXPECT_EQ(jointcast::FormatFixed(1.0000001e12f, 6, small, sizeof small), 0u);
  EXPECT_EQ(jointcast::FormatFixed(std::nanf(""), 6, small, sizeof small), 0u);
}

// A tiny value reads as zero with its sign kept, as C's %f read would give; a huge one still
// makes the reply no reading.
TEST(AxisReply, TinyValuesReadAsZeroAndHugeOnesAreNotSendable) {
  const auto tiny = jointcast::ScanAxisReply(
      u"$AXIS_ACT = {E6AXIS: A1 1e-50, A2 -1E-50, A3 1e-400, A4 4, A5 5, A6 6}");
  ASSERT_TRUE(tiny.has_value());
  EXPECT_EQ((*tiny)[0], 0.0f);
  EXPECT_TRUE(std::signbit((*tiny)[1]));
  EXPECT_EQ((*tiny)[2], 0.0f);
  EXPECT_TRUE(jointcast::Sendable(*tiny));
  for (const char16_t* huge : {u"$AXIS_ACT = {E6AXIS: A1 1e50, A2 0, A3 0, A4 0, A5 0, A6 0}",
                               u"$AXIS_ACT = {E6AXIS: A1 1e400, A2 0, A3 0, A4 0, A5 0, A6 0}"}) {
    EXPECT_FALSE(jointcast::ScanAxisReply(huge).has_value());
  }
}
