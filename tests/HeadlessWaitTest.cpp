#include <gtest/gtest.h>

#include "ui/headless/HeadlessApplication.h"

// A wait of N ms ends as the N-th whole millisecond of the monotonic clock from now begins, so a
// 20 ms period keeps 50 reads a second however far into a millisecond each wait starts.
TEST(HeadlessLoop, AWaitEndsAsTheNthMillisecondBegins) {
  constexpr long long kMs = 1000000;
  for (const long nanoseconds : {0L, 1L, 456789L, 999999L, 999999999L}) {
    const timespec now{7, nanoseconds};
    const long long from = 7 * 1000 * kMs + nanoseconds;
    for (const std::uint32_t milliseconds : {1u, 20u, 200u, 10000u}) {
      const timespec wait = ui::headless::WaitFromNow(now, milliseconds);
      const long long until = from + wait.tv_sec * 1000 * kMs + wait.tv_nsec;
      EXPECT_EQ(until % kMs, 0) << nanoseconds << " + " << milliseconds;
      EXPECT_EQ(until / kMs, from / kMs + milliseconds) << nanoseconds << " + " << milliseconds;
      EXPECT_LT(wait.tv_nsec, 1000 * kMs);
    }
    const timespec none = ui::headless::WaitFromNow(now, 0);
    EXPECT_EQ(none.tv_sec, 0);
    EXPECT_EQ(none.tv_nsec, 0);
  }
}
