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

}  // namespace
