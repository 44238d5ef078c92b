#include "kestrix/interval.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using kestrix::IntervalTimer;

TEST(IntervalTimer, PassesAtOnceBeforeTheFirstMark) {
  double now = 1000.0;
  IntervalTimer timer([&] { return now; });
  EXPECT_TRUE(std::isinf(timer.since_mark()));
  EXPECT_TRUE(timer.passed(60.0));
  EXPECT_TRUE(timer.passed(0.0));
}

TEST(IntervalTimer, PassesOnlyWhenStrictlyMoreThanTheIntervalHasGone) {
  double now = 5.0;
  IntervalTimer timer([&] { return now; });
  timer.mark();
  EXPECT_FALSE(timer.passed(0.0));  // no time has gone: not more than zero
  now = 65.0;
  EXPECT_DOUBLE_EQ(timer.since_mark(), 60.0);
  EXPECT_FALSE(timer.passed(60.0));
  now = 65.5;
  EXPECT_TRUE(timer.passed(60.0));
  timer.mark();
  EXPECT_FALSE(timer.passed(60.0));
}

TEST(IntervalTimer, ReadsOnlyItsOwnClock) {
  // The timer is told the time only by the clock it was given; what a wall clock does (stepped
  // back a day by NTP, say) cannot hold reports back.
  double steady = 0.0;
  IntervalTimer timer([&] { return steady; });
  timer.mark();
  steady += 1.5;
  EXPECT_TRUE(timer.passed(1.0));
}

TEST(IntervalTimer, SteadySecondsNeverGoBack) {
  double last = kestrix::steady_seconds();
  for (int i = 0; i < 1000; ++i) {
    const double now = kestrix::steady_seconds();
    ASSERT_GE(now, last);
    last = now;
  }
}

}  // namespace
