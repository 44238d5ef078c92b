// Geometry of the drawing modules: detection boxes and region polygons given either relative to
// the frame (fractions of its width and height) or in pixels, turned into the integer pixel
// coordinates the drawing context takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrix {

// Truncates toward zero, as Python's int() does for a float. Throws std::domain_error for NaN
// and infinities and std::overflow_error beyond the 64-bit range.
std::int64_t truncate_to_int(double value);

// A box in pixels: left x, top y, width, height.
struct PixelBox {
  std::int64_t x;
  std::int64_t y;
  std::int64_t w;
  std::int64_t h;
};

// Converts a detection box (left, top, width, height) to pixels on a frame `frame_width` x
// `frame_height`. The width alone decides the form: below 1.0 all four values are fractions of
// the frame (multiplied by width, height, width, height in double precision), otherwise they are
// pixels already. Every value is then truncated toward zero.
//   box_to_pixels(0.1, 0.2, 0.5, 0.25, 640, 480) == {64, 96, 320, 120}
PixelBox box_to_pixels(double left, double top, double width, double height, int frame_width,
                       int frame_height);

// A polygon in pixels: the flat vertex list x0, y0, x1, y1, ... (each coordinate truncated) and
// its centre, the mean of the untruncated vertex coordinates, with the truncated point at which
// the region's name is written.
struct PixelPolygon {
  std::vector<std::int64_t> xy;
  double centre_x = 0.0;
  double centre_y = 0.0;
  std::int64_t label_x = 0;
  std::int64_t label_y = 0;
};

// Converts a polygon of `vertex_count` vertices, `xy` holding x0, y0, x1, y1, ... . When every
// coordinate (x and y alike) is below 1.0 the polygon is relative: x is multiplied by the frame
// width and y by its height; otherwise the values are pixels. Throws std::invalid_argument for a
// polygon without vertices, and the errors of truncate_to_int.
//   relative (0.1, 0.1), (0.5, 0.1), (0.5, 0.5) on 200 x 100 -> (20, 10), (100, 10), (100, 50),
//   label point (73, 23)
PixelPolygon polygon_to_pixels(const double* xy, std::size_t vertex_count, int frame_width,
                               int frame_height);

}  // namespace kestrix
