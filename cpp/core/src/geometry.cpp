#include "kestrix/geometry.hpp"

#include <cmath>
#include <stdexcept>

namespace kestrix {

std::int64_t truncate_to_int(double value) {
  if (std::isnan(value)) throw std::domain_error("cannot convert float NaN to integer");
  if (std::isinf(value)) throw std::domain_error("cannot convert float infinity to integer");
  const double t = std::trunc(value);
  // 2^63 is exactly representable; every double below it in magnitude fits an int64.
  if (t >= 9223372036854775808.0 || t < -9223372036854775808.0) {
    throw std::overflow_error("coordinate out of range");
  }
  return static_cast<std::int64_t>(t);
}

PixelBox box_to_pixels(double left, double top, double width, double height, int frame_width,
                       int frame_height) {
  if (width < 1.0) {
    const double fw = frame_width;
    const double fh = frame_height;
    left *= fw;
    top *= fh;
    width *= fw;
    height *= fh;
  }
  return PixelBox{truncate_to_int(left), truncate_to_int(top), truncate_to_int(width),
                  truncate_to_int(height)};
}

PixelPolygon polygon_to_pixels(const double* xy, std::size_t vertex_count, int frame_width,
                               int frame_height) {
  if (vertex_count == 0) throw std::invalid_argument("polygon has no vertices");
  const std::size_t n = vertex_count * 2;
  // NaN compares false, so a polygon holding one is never relative and fails at truncation.
  bool relative = true;
  for (std::size_t i = 0; i < n; ++i) {
    if (!(xy[i] < 1.0)) {
      relative = false;
      break;
    }
  }
  const double sx = relative ? static_cast<double>(frame_width) : 1.0;
  const double sy = relative ? static_cast<double>(frame_height) : 1.0;

  PixelPolygon out;
  out.xy.reserve(n);
  double sum_x = 0.0;
  double sum_y = 0.0;
  for (std::size_t v = 0; v < vertex_count; ++v) {
    const double x = relative ? xy[2 * v] * sx : xy[2 * v];
    const double y = relative ? xy[2 * v + 1] * sy : xy[2 * v + 1];
    out.xy.push_back(truncate_to_int(x));
    out.xy.push_back(truncate_to_int(y));
    sum_x += x;
    sum_y += y;
  }
  out.centre_x = sum_x / static_cast<double>(vertex_count);
  out.centre_y = sum_y / static_cast<double>(vertex_count);
  out.label_x = truncate_to_int(out.centre_x);
  out.label_y = truncate_to_int(out.centre_y);
  return out;
}

}  // namespace kestrix
