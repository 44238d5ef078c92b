#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "kestrix/geometry.hpp"

using kestrix::box_to_pixels;
using kestrix::polygon_to_pixels;
using kestrix::truncate_to_int;

TEST(TruncateToInt, TowardZero) {
  EXPECT_EQ(truncate_to_int(2.9), 2);
  EXPECT_EQ(truncate_to_int(-2.9), -2);
  EXPECT_EQ(truncate_to_int(-0.5), 0);
  EXPECT_THROW(truncate_to_int(std::nan("")), std::domain_error);
  EXPECT_THROW(truncate_to_int(std::numeric_limits<double>::infinity()), std::domain_error);
  EXPECT_THROW(truncate_to_int(1e19), std::overflow_error);
  EXPECT_THROW(truncate_to_int(-1e19), std::overflow_error);
}

TEST(BoxToPixels, RelativeBoxScalesByFrameSize) {
  const auto b = box_to_pixels(0.1, 0.2, 0.5, 0.25, 640, 480);
  EXPECT_EQ(b.x, 64);
  EXPECT_EQ(b.y, 96);
  EXPECT_EQ(b.x + b.w, 384);
  EXPECT_EQ(b.y + b.h, 216);
}

TEST(BoxToPixels, TruncatesTheFloatingPointProduct) {
  // 0.29 * 100 is 28.999999999999996
  EXPECT_EQ(box_to_pixels(0.29, 0, 0.5, 0.5, 100, 100).x, 28);
}

TEST(BoxToPixels, WidthAloneDecidesTheForm) {
  // width exactly 1.0: pixels, all four values
  auto p = box_to_pixels(10, 20, 1.0, 5, 640, 480);
  EXPECT_EQ(p.x, 10);
  EXPECT_EQ(p.y, 20);
  EXPECT_EQ(p.w, 1);
  EXPECT_EQ(p.h, 5);
  // width 0.5: relative, all four values, whatever their size
  auto r = box_to_pixels(10, 20, 0.5, 5, 640, 480);
  EXPECT_EQ(r.x, 6400);
  EXPECT_EQ(r.y, 9600);
  EXPECT_EQ(r.w, 320);
  EXPECT_EQ(r.h, 2400);
  // pixel values with fractions are truncated
  auto t = box_to_pixels(10.7, 20.2, 30.9, -4.5, 640, 480);
  EXPECT_EQ(t.x, 10);
  EXPECT_EQ(t.y, 20);
  EXPECT_EQ(t.w, 30);
  EXPECT_EQ(t.h, -4);
}

TEST(BoxToPixels, NanFails) {
  EXPECT_THROW(box_to_pixels(std::nan(""), 0, 10, 10, 100, 100), std::domain_error);
  // NaN width is not below 1.0: pixels, and the truncation fails
  EXPECT_THROW(box_to_pixels(0.1, 0.1, std::nan(""), 0.1, 100, 100), std::domain_error);
}

TEST(PolygonToPixels, RelativeTriangleAndLabelPoint) {
  const std::vector<double> xy = {0.1, 0.1, 0.5, 0.1, 0.5, 0.5};
  const auto p = polygon_to_pixels(xy.data(), 3, 200, 100);
  EXPECT_EQ(p.xy, (std::vector<std::int64_t>{20, 10, 100, 10, 100, 50}));
  EXPECT_NEAR(p.centre_x, 220.0 / 3, 1e-9);
  EXPECT_NEAR(p.centre_y, 70.0 / 3, 1e-9);
  EXPECT_EQ(p.label_x, 73);
  EXPECT_EQ(p.label_y, 23);
}

TEST(PolygonToPixels, CoordinateOfOneMeansPixels) {
  // Touching the right edge makes the whole polygon pixels: it shrinks to the corner.
  const std::vector<double> xy = {0.5, 0.5, 1.0, 0.5, 1.0, 0.9};
  const auto p = polygon_to_pixels(xy.data(), 3, 200, 100);
  EXPECT_EQ(p.xy, (std::vector<std::int64_t>{0, 0, 1, 0, 1, 0}));
  EXPECT_EQ(p.label_x, 0);
  EXPECT_EQ(p.label_y, 0);
}

TEST(PolygonToPixels, PixelCoordinatesTruncatedAndCentreFromUntruncated) {
  const std::vector<double> xy = {10.9, 10.9, 20.9, 10.9, 20.9, 20.9};
  const auto p = polygon_to_pixels(xy.data(), 3, 640, 480);
  EXPECT_EQ(p.xy, (std::vector<std::int64_t>{10, 10, 20, 10, 20, 20}));
  // centre (17.566.., 14.233..): from the truncated vertices it would be (16.66, 13.33)
  EXPECT_EQ(p.label_x, 17);
  EXPECT_EQ(p.label_y, 14);
}

TEST(PolygonToPixels, LargestCoordinateIncludesY) {
  // x below 1 but a y of 5: pixels
  const std::vector<double> xy = {0.2, 0.2, 0.8, 5.0, 0.5, 0.5};
  EXPECT_EQ(polygon_to_pixels(xy.data(), 3, 100, 100).xy,
            (std::vector<std::int64_t>{0, 0, 0, 5, 0, 0}));
}

TEST(PolygonToPixels, EmptyAndNanFail) {
  EXPECT_THROW(polygon_to_pixels(nullptr, 0, 10, 10), std::invalid_argument);
  const std::vector<double> xy = {0.1, std::nan(""), 0.5, 0.5, 0.2, 0.2};
  EXPECT_THROW(polygon_to_pixels(xy.data(), 3, 10, 10), std::domain_error);
}
