// Sparse overlay drawing: instead of one transparent overlay of the whole frame, the objects of
// one call are drawn onto small RGBA canvases ("crops") placed where they are. Objects whose
// rectangles overlap share one crop, so a later object still replaces an earlier one where they
// overlap; crops never overlap each other, so each is blended over the frame on its own and the
// result equals the blend of the whole-frame overlay.
#pragma once

#include <cstddef>
#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace kestrix {

// A rectangle of pixels [x0, x1) x [y0, y1).
struct Rect {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool empty() const { return x1 <= x0 || y1 <= y0; }
  int width() const { return x1 - x0; }
  int height() const { return y1 - y0; }
};

Rect intersect(const Rect& a, const Rect& b);
Rect unite(const Rect& a, const Rect& b);  // bounding rectangle; an empty operand is ignored
bool overlaps(const Rect& a, const Rect& b);

// Objects whose rectangles overlap, directly or through others, form one group; the group's
// rectangle is the bounding rectangle of its members, and no two group rectangles overlap.
// Members are listed in increasing index order; empty rectangles belong to no group.
struct CropGroup {
  Rect rect;
  std::vector<std::size_t> members;
};
std::vector<CropGroup> group_overlapping(const std::vector<Rect>& rects);

// An RGBA canvas (red, green, blue, alpha bytes, rows packed) over a rectangle of the frame,
// created fully transparent white (255, 255, 255, 0) as an overlay is. Every drawing below
// replaces the canvas pixels it covers and clips to the canvas.
struct Canvas {
  explicit Canvas(const Rect& r);
  Rect rect;
  std::vector<std::uint8_t> rgba;
  std::uint8_t* at(int x, int y) {  // frame coordinates
    return rgba.data() + (static_cast<std::size_t>(y - rect.y0) * rect.width() + (x - rect.x0)) * 4;
  }
};

using Ink = std::uint32_t;  // one RGBA pixel as stored (byte order red, green, blue, alpha)

void fill_rect(Canvas& canvas, const Rect& r, Ink ink);

// The outline of the box with corner pixels (x0, y0) and (x1, y1), both included, `width`
// nested one-pixel frames drawn inward (nothing when width <= 0). Only for boxes where the
// frames do not meet: x0 <= x1, y0 <= y1 and 2 * width <= both sides' pixel counts
// (outline_is_plain tells).
bool outline_is_plain(int x0, int y0, int x1, int y1, int width);
// The outline's four sides (top, bottom, left, right), which do not overlap; for width > 0.
std::array<Rect, 4> outline_sides(int x0, int y0, int x1, int y1, int width);
void outline_rect(Canvas& canvas, int x0, int y0, int x1, int y1, int width, Ink ink);

// Horizontal runs of pixels [x0, x1) on row y.
struct Run {
  int y, x0, x1;
};
// The runs of non-zero bytes of a mask of `width` x `height` bytes (rows `stride` apart) whose
// top-left pixel is (left, top) in frame coordinates.
std::vector<Run> runs_of_mask(const std::uint8_t* mask, int width, int height, std::ptrdiff_t stride,
                              int left, int top);
Rect bounds_of_runs(const std::vector<Run>& runs);
void paint_runs(Canvas& canvas, const std::vector<Run>& runs, Ink ink);

// A block of `width` x `height` RGBA pixels with a coverage byte per pixel, placed with its
// top-left pixel at (left, top): the block's drawing, which changed only the covered pixels.
struct Block {
  int left = 0, top = 0, width = 0, height = 0;
  const std::uint8_t* rgba = nullptr;
  const std::uint8_t* coverage = nullptr;
};
// Replaces the canvas pixels under the block's covered pixels by the block's.
void paste_covered(Canvas& canvas, const Block& block);
// The canvas pixels under the block's rectangle, rows packed; pixels outside the canvas are
// transparent white.
std::vector<std::uint8_t> read_block(Canvas& canvas, int left, int top, int width, int height);
// True when every canvas pixel under a covered pixel of the block (inside the canvas) holds the
// same value; that value goes to `value` (unchanged when no covered pixel lies in the canvas).
bool uniform_under(Canvas& canvas, const Block& block, Ink& value);

// Which pixels of the frame are already taken, one bit per pixel. Solid drawings
// (filled rectangles and polygon runs) go straight into the output frame, the last drawing of
// the call first: each blends only the pixels no later drawing (and no crop) has taken, so every
// pixel is blended once, with the colour the overlay would have held there.
class Coverage {
 public:
  Coverage(int width, int height);
  // Calls fn(x0, x1) for each stretch of [run.x0, run.x1) on row run.y not yet taken, left to
  // right, then takes the whole run. The run is clipped to the frame.
  template <typename Fn>
  void claim(const Run& run, Fn&& fn) {
    if (run.y < 0 || run.y >= height_) return;
    const int x0 = std::max(run.x0, 0), x1 = std::min(run.x1, width_);
    if (x1 <= x0) return;
    const std::uint64_t* row = bits_.data() + static_cast<std::size_t>(run.y) * words_;
    int x = x0;
    while (x < x1) {
      const int start = next(row, x, x1, false);
      if (start >= x1) break;
      const int end = next(row, start, x1, true);
      fn(start, end);
      x = end;
    }
    take(run.y, x0, x1);
  }
  void claim(const Rect& r) {
    for (int y = r.y0; y < r.y1; ++y) claim(Run{y, r.x0, r.x1}, [](int, int) {});
  }

 private:
  // The first x in [x, x1) whose bit is `taken`, or x1.
  static int next(const std::uint64_t* row, int x, int x1, bool taken);
  void take(int y, int x0, int x1);
  int width_, height_;
  std::size_t words_;
  std::vector<std::uint64_t> bits_;  // one bit per pixel, rows of words_ words
};

}  // namespace kestrix
