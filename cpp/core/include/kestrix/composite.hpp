// Final step of overlay drawing: an RGBA overlay (straight alpha, red-green-blue-alpha bytes) is
// blended over an opaque blue-green-red frame by source-over compositing, into a new frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrix {

// Read-only view of a frame: 8-bit values, `height` rows of `width` pixels of three channels in
// blue-green-red order. Strides are in bytes and may be negative or non-contiguous (any NumPy
// view of an 8-bit height x width x 3 array can be described).
struct FrameView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t pixel_stride = 3;
  std::ptrdiff_t channel_stride = 1;
};

// Read-only view of an RGBA overlay: `height` rows of `width` pixels of four bytes (red, green,
// blue, alpha), rows `row_stride` bytes apart. The overlay covers the frame rectangle whose
// top-left pixel is (left, top); it may be a part of a full-frame overlay (its opaque bounds).
struct OverlayView {
  const std::uint8_t* data = nullptr;
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  std::ptrdiff_t row_stride = 0;
};

// One colour channel of the blend: overlay x a + base x (1 - a), a = alpha / 255, rounded to the
// nearest integer (no ties occur). Alpha 0 gives the base, alpha 255 the overlay.
inline std::uint8_t blend_channel(unsigned overlay, unsigned base, unsigned alpha) {
  const unsigned v = overlay * alpha + base * (255u - alpha) + 128u;
  return static_cast<std::uint8_t>((v + (v >> 8)) >> 8);
}

// Writes the frame with the overlay blended over it into `out`, a contiguous blue-green-red
// image of the frame's size (height x width x 3 bytes, rows packed). Pixels outside the
// overlay's rectangle and pixels whose overlay alpha is 0 are copied from the frame unchanged;
// transparent stretches of the overlay are skipped sixteen pixels at a time. `out` must not
// overlap the frame. Throws std::invalid_argument when a size is negative, a pointer is missing
// or the overlay's rectangle does not lie inside the frame.
void composite_over_bgr(const FrameView& frame, const OverlayView& overlay, std::uint8_t* out);

// Blends the overlay over `out`, a contiguous blue-green-red image of `width` x `height` already
// holding the frame (for an overlay that comes in several parts: composite_over_bgr with the
// first part, then this with each further part). Same rules and errors as composite_over_bgr.
void blend_into_bgr(const OverlayView& overlay, std::uint8_t* out, int width, int height);

// Blends `count` blue-green-red pixels at `bgr` with the one colour `rgba` (red, green, blue,
// alpha bytes, straight alpha), rounded as blend_channel.
void blend_solid_bgr(std::uint8_t* bgr, int count, const std::uint8_t rgba[4]);

// A run of pixels [x0, x1) of row y to be blended with one colour (red, green, blue, alpha).
struct SolidRun {
  int y, x0, x1;
  std::uint8_t rgba[4];
};

// The sparse form of composite_over_bgr: writes the frame into `out` row by row and, while each
// row is fresh, blends over it the rows of the crops (overlays placed inside the frame) and the
// solid runs that fall on it. `runs` are sorted by row and lie inside the frame; crops and runs
// must not cover the same pixels (each pixel is blended at most once). Same errors as
// composite_over_bgr for a crop that does not lie inside the frame.
void composite_sparse(const FrameView& frame, const OverlayView* crops, std::size_t crop_count,
                      const SolidRun* runs, std::size_t run_count, std::uint8_t* out);

// The blend code this build runs: "sse2" (x86-64: SSE2 transparency scan, with an AVX2 build of
// the blend loop picked at load time where the toolchain supports it) or "portable" (plain C++,
// every other machine). Both give the same pixels.
const char* blend_path();

}  // namespace kestrix
