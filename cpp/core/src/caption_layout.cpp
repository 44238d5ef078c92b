#include "kestrix/caption_layout.hpp"

#include <algorithm>
#include <cmath>

namespace kestrix {
namespace captions {

namespace {

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

std::int64_t height_quarter(std::int64_t text_height) { return floor_div(text_height, 4); }

// The integer part of floor(h / 4) (exact: dividing by 4 only shifts the exponent).
std::int64_t height_quarter(double text_height) {
  return static_cast<std::int64_t>(std::floor(text_height / 4.0));
}

template <typename T>
CaptionLayout<T> layout(T text_width, T text_height, T x, T y, bool large_padding) {
  CaptionLayout<T> l{};
  l.padding = std::max<std::int64_t>(min_padding, height_quarter(text_height));
  const std::int64_t padding_left = l.padding;
  l.padding_top = large_padding ? l.padding * 2 : floor_div(l.padding, 2);
  l.box_x0 = x;
  l.box_y1 = y;
  l.box_y0 = y - text_height - static_cast<T>(l.padding_top);
  l.box_x1 = x + text_width + static_cast<T>(padding_left * 2);
  l.text_x = x + static_cast<T>(padding_left);
  l.text_y = l.box_y0 - static_cast<T>(l.padding_top);
  l.shadow_x = l.text_x + static_cast<T>(1);
  l.shadow_y = l.text_y + static_cast<T>(1);
  return l;
}

}  // namespace

CaptionLayout<std::int64_t> layout_caption(std::int64_t text_width, std::int64_t text_height,
                                           std::int64_t x, std::int64_t y, bool large_padding) {
  return layout(text_width, text_height, x, y, large_padding);
}

CaptionLayout<double> layout_caption(double text_width, double text_height, double x, double y,
                                     bool large_padding) {
  return layout(text_width, text_height, x, y, large_padding);
}

}  // namespace captions
}  // namespace kestrix
