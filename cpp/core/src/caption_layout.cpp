#include "kestrix/caption_layout.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

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

[[noreturn]] void out_of_range() {
  throw std::overflow_error(
      "caption position out of range: the caption would reach beyond 64-bit coordinates");
}

// a + b and a - b, refused when the result leaves the 64-bit range.
std::int64_t add(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r)) out_of_range();
  return r;
}
std::int64_t sub(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) out_of_range();
  return r;
}
double add(double a, double b) { return a + b; }
double sub(double a, double b) { return a - b; }

// A floating coordinate the drawing can take: a number inside the 64-bit integer range.
void check(double v) {
  if (std::isnan(v)) throw std::domain_error("caption position is not a number");
  if (!(v >= -9223372036854775808.0 && v < 9223372036854775808.0)) out_of_range();
}
void check(std::int64_t) {}

template <typename T>
CaptionLayout<T> layout(T text_width, T text_height, T x, T y, bool large_padding) {
  CaptionLayout<T> l{};
  l.padding = std::max<std::int64_t>(min_padding, height_quarter(text_height));
  const std::int64_t padding_left = l.padding;
  l.padding_top = large_padding ? l.padding * 2 : floor_div(l.padding, 2);
  l.box_x0 = x;
  l.box_y1 = y;
  l.box_y0 = sub(sub(y, text_height), static_cast<T>(l.padding_top));
  l.box_x1 = add(add(x, text_width), static_cast<T>(padding_left * 2));
  l.text_x = add(x, static_cast<T>(padding_left));
  l.text_y = sub(l.box_y0, static_cast<T>(l.padding_top));
  l.shadow_x = add(l.text_x, static_cast<T>(1));
  l.shadow_y = add(l.text_y, static_cast<T>(1));
  for (T v : {l.box_x0, l.box_y0, l.box_x1, l.box_y1, l.text_x, l.text_y, l.shadow_x, l.shadow_y}) {
    check(v);
  }
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
