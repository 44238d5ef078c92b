#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "kestrix/caption_layout.hpp"

namespace cap = kestrix::captions;

TEST(CaptionLayout, WorkedExample) {
  const auto l = cap::layout_caption(std::int64_t{40}, 14, 50, 50, false);
  EXPECT_EQ(l.padding, 3);
  EXPECT_EQ(l.padding_top, 1);
  EXPECT_EQ(l.box_x0, 50);
  EXPECT_EQ(l.box_y0, 35);
  EXPECT_EQ(l.box_x1, 96);
  EXPECT_EQ(l.box_y1, 50);
  EXPECT_EQ(l.text_x, 53);
  EXPECT_EQ(l.text_y, 34);
  EXPECT_EQ(l.shadow_x, 54);
  EXPECT_EQ(l.shadow_y, 35);
}

TEST(CaptionLayout, LargePaddingRaisesTheTopPadding) {
  const auto l = cap::layout_caption(std::int64_t{40}, 14, 50, 50, true);
  EXPECT_EQ(l.padding_top, 6);
  EXPECT_EQ(l.box_y0, 30);
  EXPECT_EQ(l.box_x1, 96);
  EXPECT_EQ(l.text_x, 53);
  EXPECT_EQ(l.text_y, 24);
  EXPECT_EQ(l.shadow_y, 25);
}

TEST(CaptionLayout, PaddingHasAMinimumOfTwo) {
  for (std::int64_t h : {0, 1, 6, 11}) {
    const auto l = cap::layout_caption(std::int64_t{10}, h, 0, 0, false);
    EXPECT_EQ(l.padding, 2) << h;
    EXPECT_EQ(l.padding_top, 1) << h;
    EXPECT_EQ(cap::layout_caption(std::int64_t{10}, h, 0, 0, true).padding_top, 4) << h;
  }
  EXPECT_EQ(cap::layout_caption(std::int64_t{10}, 12, 0, 0, false).padding, 3);
  EXPECT_EQ(cap::layout_caption(std::int64_t{10}, 41, 0, 0, false).padding, 10);
  EXPECT_EQ(cap::layout_caption(std::int64_t{10}, 41, 0, 0, false).padding_top, 5);
}

TEST(CaptionLayout, FloatingCoordinatesKeepTheirFractions) {
  const auto l = cap::layout_caption(40.0, 14.5, 50.5, 50.25, false);
  EXPECT_EQ(l.padding, 3);  // floor(14.5 / 4) = 3
  EXPECT_DOUBLE_EQ(l.box_y0, 50.25 - 14.5 - 1);
  EXPECT_DOUBLE_EQ(l.box_x1, 50.5 + 40.0 + 6);
  EXPECT_DOUBLE_EQ(l.text_x, 53.5);
  EXPECT_DOUBLE_EQ(l.shadow_y, 50.25 - 14.5 - 1 - 1 + 1);
  EXPECT_EQ(cap::layout_caption(1.0, 7.99, 0.0, 0.0, false).padding, 2);
}

TEST(CaptionLayout, NegativePositionsUseFloorArithmetic) {
  const auto l = cap::layout_caption(std::int64_t{5}, 8, -10, -3, false);
  EXPECT_EQ(l.box_y0, -3 - 8 - 1);
  EXPECT_EQ(l.text_x, -8);
  EXPECT_EQ(l.shadow_x, -7);
}

TEST(CaptionLayout, ACaptionBeyondTheIntegerRangeIsRefusedNotWrapped) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  EXPECT_THROW(cap::layout_caption(std::int64_t{40}, 14, kMax, 10, false), std::overflow_error);
  EXPECT_THROW(cap::layout_caption(std::int64_t{40}, 14, kMax - 40, 10, false), std::overflow_error);
  EXPECT_THROW(cap::layout_caption(std::int64_t{40}, 14, 10, kMin, false), std::overflow_error);
  EXPECT_THROW(cap::layout_caption(std::int64_t{40}, 14, 10, kMin + 14, true), std::overflow_error);
  // The last positions whose whole caption fits.
  EXPECT_EQ(cap::layout_caption(std::int64_t{40}, 14, kMax - 46, 10, false).box_x1, kMax);
  EXPECT_EQ(cap::layout_caption(std::int64_t{40}, 14, 10, kMin + 16, false).text_y, kMin);
  EXPECT_EQ(cap::layout_caption(std::int64_t{40}, 14, 10, kMax, false).box_y1, kMax);
}

TEST(CaptionLayout, FloatingPositionsOutsideTheIntegerRangeAreRefused) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_THROW(cap::layout_caption(40.0, 14.0, 1e30, 10.0, false), std::overflow_error);
  EXPECT_THROW(cap::layout_caption(40.0, 14.0, 10.0, -1e19, false), std::overflow_error);
  EXPECT_THROW(cap::layout_caption(40.0, 14.0, inf, 10.0, false), std::overflow_error);
  EXPECT_THROW(cap::layout_caption(40.0, 14.0, 10.0, std::nan(""), false), std::domain_error);
  EXPECT_DOUBLE_EQ(cap::layout_caption(40.0, 14.0, 4e18, 10.0, false).box_x1, 4e18 + 46);
}
