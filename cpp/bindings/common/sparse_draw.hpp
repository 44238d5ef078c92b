// The crop route of the drawing modules: the objects of one call are drawn onto small native
// canvases placed where they are (kestrix/sparse_overlay.hpp) instead of one overlay of the
// whole frame, and the canvases are blended over one copy of the frame. What Pillow rasterises
// is taken from Pillow itself and kept: captions are drawn by the caption drawer's own
// draw_texts onto a small Pillow canvas once per distinct caption (text, font, options, colours
// and, where the text blends with what lies under it, that background colour); polygons are
// rasterised once per distinct vertex list into runs of pixels. Both caches are bounded.
#pragma once

#include <memory>
#include <vector>

#include "frames.hpp"
#include "kestrix/sparse_overlay.hpp"

namespace kx {

// Looks up the Pillow modules and classes the crop route uses. Call it while the module loads,
// so that the first drawings of several threads never race to do it.
void prepare_sparse_drawing();

// The pixel Pillow writes for `colour` through an RGBA drawing context (ImageDraw's ink rule:
// a colour name through ImageColor, None as the context's default ink, opaque white).
kestrix::Ink ink_of(py::handle colour);

// True when `drawer` is a plain CaptionsDraw (class and draw_texts not replaced) with a
// FreeType font, measuring with textbbox: its captions can be taken from the caption cache.
bool caption_drawer_plain(py::handle drawer);

// True when `self` is exactly of class `cls` and `method` is the class's own `original`,
// not replaced on the class or on the instance.
bool method_plain(py::handle self, py::handle cls, const char* method, py::handle original);

struct CaptionShape;
struct PolygonShape;

// The drawing of one call. Operations are recorded in order; render() draws them onto crops
// and blends the crops over a copy of the frame.
class SparseDrawing {
 public:
  SparseDrawing(int width, int height);
  ~SparseDrawing();
  SparseDrawing(const SparseDrawing&) = delete;
  SparseDrawing& operator=(const SparseDrawing&) = delete;

  // Box outline as ImageDraw.rectangle(xy=[(x0, y0), (x1, y1)], outline=..., width=...) draws
  // it; false when the box is not plain (kestrix::outline_is_plain).
  bool outline(int x0, int y0, int x1, int y1, int width, kestrix::Ink ink);

  // A caption as drawer.draw_texts(draw, text, txt_color, (x, y), large_padding,
  // fill_rectangle, fill_rectangle_color, show_shadow, shadow_color) draws it; false when the
  // caption cannot be taken from the cache (not a one-line str, measurement not in pixels).
  bool caption(py::handle drawer, py::handle text, py::handle txt_color, long long x, long long y,
               bool large_padding, bool fill_rectangle, py::handle fill_rectangle_color,
               bool show_shadow, py::handle shadow_color);

  // A polygon as ImageDraw.polygon(xy, fill=..., outline=...) draws it with a one-pixel
  // outline; `fill` / `outline` null when absent (the caller has resolved the inks).
  void polygon(const std::vector<long long>& xy, const kestrix::Ink* fill, const kestrix::Ink* outline);

  // The new frame, or None when a caption met a background of several colours (the caller
  // then draws the whole overlay).
  py::object render(const py::array& frame);

 private:
  struct Op;
  int width_, height_;
  std::vector<Op> ops_;
};

}  // namespace kx
