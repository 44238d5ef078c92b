#include "kestrix/composite.hpp"

#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrix {

namespace {

// The bytes of eight RGBA pixels read as four 64-bit words: a mask of their alpha bytes,
// whatever the machine's byte order.
std::uint64_t alpha_mask() {
  const std::uint8_t bytes[8] = {0, 0, 0, 255, 0, 0, 0, 255};
  std::uint64_t mask;
  std::memcpy(&mask, bytes, sizeof mask);
  return mask;
}

// Several instruction sets for the blend loop where the toolchain can pick one at load time
// (x86-64 Linux, GCC or Clang): the AVX2 build processes many pixels per instruction.
#if defined(__x86_64__) && defined(__linux__) && defined(__has_attribute) && \
    !defined(KX_NO_BLEND_CLONES)
#if __has_attribute(target_clones)
#define KX_BLEND_CLONES __attribute__((target_clones("avx2", "default")))
#endif
#endif
#ifndef KX_BLEND_CLONES
#define KX_BLEND_CLONES
#endif

// Blends `count` overlay pixels over the output pixels, branch-free, in 16-bit arithmetic (the
// largest intermediate, 255 * 255 + 128 + 254, fits). Exact for every alpha: 0 leaves the output
// as it is, 255 replaces it (the same rounding as blend_channel).
KX_BLEND_CLONES
void blend_run(const std::uint8_t* __restrict rgba, int count, std::uint8_t* __restrict bgr) {
  for (int k = 0; k < count; ++k) {
    const std::uint16_t a = rgba[4 * k + 3];
    const std::uint16_t ia = static_cast<std::uint16_t>(255u - a);
    for (int c = 0; c < 3; ++c) {
      const std::uint16_t v =
          static_cast<std::uint16_t>(rgba[4 * k + 2 - c] * a + bgr[3 * k + c] * ia + 128u);
      bgr[3 * k + c] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(v + (v >> 8)) >> 8);
    }
  }
}

void copy_row(const FrameView& frame, int y, std::uint8_t* out_row) {
  const std::uint8_t* src = frame.data + frame.row_stride * y;
  const std::size_t width = static_cast<std::size_t>(frame.width);
  if (frame.pixel_stride == 3 && frame.channel_stride == 1) {
    std::memcpy(out_row, src, width * 3);
    return;
  }
  for (std::size_t x = 0; x < width; ++x) {
    const std::uint8_t* p = src + frame.pixel_stride * static_cast<std::ptrdiff_t>(x);
    out_row[3 * x] = p[0];
    out_row[3 * x + 1] = p[frame.channel_stride];
    out_row[3 * x + 2] = p[2 * frame.channel_stride];
  }
}

// True when the 16 RGBA pixels at `rgba` are all fully transparent.
inline bool transparent16(const std::uint8_t* rgba, std::uint64_t mask) {
#if defined(__SSE2__)
  (void)mask;
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rgba));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rgba + 16));
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rgba + 32));
  const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rgba + 48));
  // x86 is little-endian: the alpha byte is the high byte of each 32-bit pixel.
  const __m128i alpha = _mm_and_si128(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)),
                                      _mm_set1_epi32(static_cast<int>(0xFF000000u)));
  return _mm_movemask_epi8(_mm_cmpeq_epi32(alpha, _mm_setzero_si128())) == 0xFFFF;
#else
  std::uint64_t w[8];
  std::memcpy(w, rgba, sizeof w);
  return ((w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7]) & mask) == 0;
#endif
}

// Blends one overlay row over the matching, already copied, output pixels: stretches of sixteen
// transparent pixels are skipped, the others are blended in runs.
void blend_row(const std::uint8_t* rgba, int width, std::uint8_t* bgr, std::uint64_t mask) {
  int x = 0;
  while (x + 16 <= width) {
    if (transparent16(rgba + 4 * x, mask)) {
      x += 16;
      continue;
    }
    int end = x + 16;
    while (end + 16 <= width && !transparent16(rgba + 4 * end, mask)) end += 16;
    blend_run(rgba + 4 * x, end - x, bgr + 3 * x);
    x = end;
  }
  if (x < width) blend_run(rgba + 4 * x, width - x, bgr + 3 * x);
}

void check_overlay(const OverlayView& overlay, int width, int height) {
  if (width < 0 || height < 0 || overlay.width < 0 || overlay.height < 0) {
    throw std::invalid_argument("negative image size");
  }
  if (overlay.width == 0 || overlay.height == 0) return;
  if (overlay.data == nullptr) throw std::invalid_argument("overlay pixels missing");
  if (overlay.left < 0 || overlay.top < 0 || overlay.left > width - overlay.width ||
      overlay.top > height - overlay.height) {
    throw std::invalid_argument("overlay does not lie inside the frame");
  }
}

}  // namespace

void composite_over_bgr(const FrameView& frame, const OverlayView& overlay, std::uint8_t* out) {
  check_overlay(overlay, frame.width, frame.height);
  if (frame.width > 0 && frame.height > 0 && (frame.data == nullptr || out == nullptr)) {
    throw std::invalid_argument("frame or output pixels missing");
  }
  const bool has_overlay = overlay.width > 0 && overlay.height > 0;
  const std::uint64_t mask = alpha_mask();
  const std::size_t out_row_bytes = static_cast<std::size_t>(frame.width) * 3;
  for (int y = 0; y < frame.height; ++y) {
    std::uint8_t* out_row = out + out_row_bytes * static_cast<std::size_t>(y);
    copy_row(frame, y, out_row);
    if (has_overlay && y >= overlay.top && y < overlay.top + overlay.height) {
      blend_row(overlay.data + overlay.row_stride * (y - overlay.top), overlay.width,
                out_row + 3 * static_cast<std::size_t>(overlay.left), mask);
    }
  }
}

void blend_into_bgr(const OverlayView& overlay, std::uint8_t* out, int width, int height) {
  check_overlay(overlay, width, height);
  if (overlay.width == 0 || overlay.height == 0) return;
  if (out == nullptr) throw std::invalid_argument("output pixels missing");
  const std::uint64_t mask = alpha_mask();
  const std::size_t out_row_bytes = static_cast<std::size_t>(width) * 3;
  for (int y = 0; y < overlay.height; ++y) {
    blend_row(overlay.data + overlay.row_stride * y, overlay.width,
              out + out_row_bytes * static_cast<std::size_t>(overlay.top + y) +
                  3 * static_cast<std::size_t>(overlay.left),
              mask);
  }
}

KX_BLEND_CLONES
void blend_solid_bgr(std::uint8_t* p, int count, const std::uint8_t c[4]) {
  if (count <= 0) return;
  const unsigned a = c[3];
  if (a == 0) return;
  const std::size_t n = static_cast<std::size_t>(count);
  if (a == 255) {
    for (std::size_t k = 0; k < n; ++k, p += 3) {
      p[0] = c[2];
      p[1] = c[1];
      p[2] = c[0];
    }
    return;
  }
  const auto ia = static_cast<std::uint16_t>(255u - a);
  const std::uint16_t pre3[3] = {static_cast<std::uint16_t>(c[2] * a + 128u),
                                 static_cast<std::uint16_t>(c[1] * a + 128u),
                                 static_cast<std::uint16_t>(c[0] * a + 128u)};
  const std::size_t bytes = n * 3;
  std::size_t i = 0;
  if (bytes >= 48) {
    // Blue, green, red repeat every three bytes; 48 bytes (16 pixels) share one pattern.
    std::uint16_t pre[48];
    for (int j = 0; j < 48; j += 3) pre[j] = pre3[0], pre[j + 1] = pre3[1], pre[j + 2] = pre3[2];
    for (; i + 48 <= bytes; i += 48) {
      for (int j = 0; j < 48; ++j) {
        const auto v = static_cast<std::uint16_t>(pre[j] + p[i + j] * ia);
        p[i + j] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(v + (v >> 8)) >> 8);
      }
    }
  }
  for (; i < bytes; i += 3) {  // the last pixels, one at a time
    for (int j = 0; j < 3; ++j) {
      const auto v = static_cast<std::uint16_t>(pre3[j] + p[i + j] * ia);
      p[i + j] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(v + (v >> 8)) >> 8);
    }
  }
}

void composite_sparse(const FrameView& frame, const OverlayView* crops, std::size_t crop_count,
                      const SolidRun* runs, std::size_t run_count, std::uint8_t* out) {
  for (std::size_t c = 0; c < crop_count; ++c) check_overlay(crops[c], frame.width, frame.height);
  if (frame.width > 0 && frame.height > 0 && (frame.data == nullptr || out == nullptr)) {
    throw std::invalid_argument("frame or output pixels missing");
  }
  for (std::size_t r = 0; r < run_count; ++r) {
    const SolidRun& run = runs[r];
    if (run.y < 0 || run.y >= frame.height || run.x0 < 0 || run.x1 > frame.width ||
        (r > 0 && runs[r - 1].y > run.y)) {
      throw std::invalid_argument("solid runs must be sorted by row and lie inside the frame");
    }
  }
  const std::uint64_t mask = alpha_mask();
  const std::size_t out_row_bytes = static_cast<std::size_t>(frame.width) * 3;
  std::size_t r = 0;
  for (int y = 0; y < frame.height; ++y) {
    std::uint8_t* out_row = out + out_row_bytes * static_cast<std::size_t>(y);
    copy_row(frame, y, out_row);
    for (std::size_t c = 0; c < crop_count; ++c) {
      const OverlayView& crop = crops[c];
      if (crop.width == 0 || y < crop.top || y >= crop.top + crop.height) continue;
      blend_row(crop.data + crop.row_stride * (y - crop.top), crop.width,
                out_row + 3 * static_cast<std::size_t>(crop.left), mask);
    }
    for (; r < run_count && runs[r].y == y; ++r) {
      blend_solid_bgr(out_row + 3 * static_cast<std::size_t>(runs[r].x0), runs[r].x1 - runs[r].x0, runs[r].rgba);
    }
  }
}

const char* blend_path() {
#if defined(__SSE2__)
  return "sse2";
#else
  return "portable";
#endif
}

}  // namespace kestrix
