#include "kestrix/capture_pacing.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

using kestrix::Backoff;
using kestrix::RateLimit;

TEST(Backoff, DoublesUpToTheCapAndStartsAgainAfterReset) {
  Backoff fixed(0.5, 10.0, 0.25, [] { return 0.0; });
  std::vector<double> got;
  for (int i = 0; i < 7; ++i) got.push_back(fixed.next());
  EXPECT_EQ(got, (std::vector<double>{0.5, 1.0, 2.0, 4.0, 8.0, 10.0, 10.0}));
  fixed.reset();
  EXPECT_DOUBLE_EQ(fixed.next(), 0.5);
}

TEST(Backoff, JitterShortensADelayByAtMostItsShare) {
  Backoff most(4.0, 10.0, 0.25, [] { return 0.999999; });
  EXPECT_NEAR(most.next(), 3.0, 1e-5);
  Backoff real;  // the default random source stays inside the band
  for (int i = 0; i < 50; ++i) {
    const double d = real.next();
    EXPECT_GE(d, 0.375 - 1e-9);
    EXPECT_LE(d, 10.0);
  }
}

TEST(RateLimit, LetsThroughOnePerPeriodWithoutBurstingAfterAPause) {
  RateLimit limit(10.0);
  int allowed = 0;
  for (int i = 0; i < 30; ++i) allowed += limit.allow(i / 30.0);  // one second at 30 fps
  EXPECT_EQ(allowed, 10);
  // A five-second pause: the next frame goes through, the ones right after it do not.
  EXPECT_TRUE(limit.allow(6.0));
  EXPECT_FALSE(limit.allow(6.03));
  EXPECT_FALSE(limit.allow(6.06));
  EXPECT_TRUE(limit.allow(6.1));
}

TEST(RateLimit, NoLimitLetsEverythingThrough) {
  RateLimit none(0.0);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(none.allow(1.0));
}

TEST(WholeJpeg, NeedsBothMarkers) {
  const unsigned char whole[] = {0xFF, 0xD8, 0x01, 0xFF, 0xD9};
  const unsigned char cut[] = {0xFF, 0xD8, 0x01, 0x02, 0x03};
  const unsigned char headless[] = {0x00, 0xD8, 0x01, 0xFF, 0xD9};
  EXPECT_TRUE(kestrix::is_whole_jpeg(whole, sizeof whole));
  EXPECT_FALSE(kestrix::is_whole_jpeg(cut, sizeof cut));
  EXPECT_FALSE(kestrix::is_whole_jpeg(headless, sizeof headless));
  EXPECT_FALSE(kestrix::is_whole_jpeg(whole, 3));
}

}  // namespace
