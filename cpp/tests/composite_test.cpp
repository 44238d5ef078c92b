#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "kestrix/composite.hpp"

using kestrix::blend_channel;
using kestrix::blend_into_bgr;
using kestrix::composite_over_bgr;
using kestrix::FrameView;
using kestrix::OverlayView;

namespace {

// Straightforward reference: round((o * a + b * (255 - a)) / 255) by integer arithmetic.
int reference_channel(int o, int b, int a) { return (o * a + b * (255 - a) + 127) / 255; }

std::vector<std::uint8_t> random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> v(n);
  for (auto& b : v) b = static_cast<std::uint8_t>(rng() & 0xFF);
  return v;
}

// FNV-1a, 64 bits: a digest of results that must be the same on every machine.
std::uint64_t fnv1a(const std::vector<std::uint8_t>& bytes) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (std::uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ULL;
  return h;
}

FrameView packed_frame(const std::vector<std::uint8_t>& px, int width, int height) {
  return FrameView{px.data(), width, height, static_cast<std::ptrdiff_t>(width) * 3, 3, 1};
}

// Expected output pixel (b, g, r) for frame pixel `bgr` under overlay pixel `rgba`.
void expect_pixel(const std::uint8_t* got, const std::uint8_t* bgr, const std::uint8_t* rgba) {
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(got[c], reference_channel(rgba[2 - c], bgr[c], rgba[3]));
  }
}

}  // namespace

TEST(BlendChannel, RoundsToNearestForEveryInput) {
  for (int a = 0; a < 256; ++a) {
    for (int o = 0; o < 256; ++o) {
      for (int b = 0; b < 256; ++b) {
        ASSERT_EQ(blend_channel(o, b, a), reference_channel(o, b, a)) << o << " " << b << " " << a;
      }
    }
  }
}

TEST(BlendChannel, AlphaZeroKeepsBaseAndFullAlphaTakesOverlay) {
  EXPECT_EQ(blend_channel(200, 17, 0), 17);
  EXPECT_EQ(blend_channel(200, 17, 255), 200);
  // 100/255 of 255 over 0: 100
  EXPECT_EQ(blend_channel(255, 0, 100), 100);
}

// Every (overlay, base, alpha) combination through the whole pass, whichever instruction set
// the blend loop runs with on this machine: overlay value by column, base value by row.
TEST(Composite, EveryCombinationThroughTheFullPass) {
  const int w = 256, h = 256;
  std::vector<std::uint8_t> frame(w * h * 3), overlay(w * h * 4), out(w * h * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < 3; ++c) frame[(y * w + x) * 3 + c] = static_cast<std::uint8_t>(y);
    }
  }
  for (int a = 0; a < 256; ++a) {
    for (int x = 0; x < w * h; ++x) {
      const int o = x % w;
      overlay[4 * x] = static_cast<std::uint8_t>(o);
      overlay[4 * x + 1] = static_cast<std::uint8_t>(255 - o);
      overlay[4 * x + 2] = static_cast<std::uint8_t>(o);
      overlay[4 * x + 3] = static_cast<std::uint8_t>(a);
    }
    composite_over_bgr(packed_frame(frame, w, h), OverlayView{overlay.data(), 0, 0, w, h, w * 4},
                       out.data());
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const std::uint8_t* got = &out[(y * w + x) * 3];
        ASSERT_EQ(got[0], reference_channel(x, y, a)) << x << " " << y << " " << a;
        ASSERT_EQ(got[1], reference_channel(255 - x, y, a)) << x << " " << y << " " << a;
        ASSERT_EQ(got[2], reference_channel(x, y, a)) << x << " " << y << " " << a;
      }
    }
  }
}

TEST(Composite, EmptyOverlayCopiesFrame) {
  const int w = 13, h = 7;
  auto frame = random_bytes(w * h * 3, 1);
  std::vector<std::uint8_t> out(frame.size(), 0);
  composite_over_bgr(packed_frame(frame, w, h), OverlayView{}, out.data());
  EXPECT_EQ(out, frame);
}

TEST(Composite, TransparentOverlayLeavesFrameExactly) {
  const int w = 21, h = 5;
  auto frame = random_bytes(w * h * 3, 2);
  // Transparent white, as a fresh overlay is.
  std::vector<std::uint8_t> overlay(w * h * 4, 255);
  for (int i = 0; i < w * h; ++i) overlay[4 * i + 3] = 0;
  std::vector<std::uint8_t> out(frame.size(), 0);
  composite_over_bgr(packed_frame(frame, w, h), OverlayView{overlay.data(), 0, 0, w, h, w * 4},
                     out.data());
  EXPECT_EQ(out, frame);
}

TEST(Composite, OpaqueOverlayReplacesInBlueGreenRedOrder) {
  const int w = 3, h = 2;
  std::vector<std::uint8_t> frame(w * h * 3, 9);
  std::vector<std::uint8_t> overlay(w * h * 4);
  for (int i = 0; i < w * h; ++i) {
    overlay[4 * i] = 10;
    overlay[4 * i + 1] = 20;
    overlay[4 * i + 2] = 30;
    overlay[4 * i + 3] = 255;
  }
  std::vector<std::uint8_t> out(frame.size(), 0);
  composite_over_bgr(packed_frame(frame, w, h), OverlayView{overlay.data(), 0, 0, w, h, w * 4},
                     out.data());
  for (int i = 0; i < w * h; ++i) {
    EXPECT_EQ(out[3 * i], 30);
    EXPECT_EQ(out[3 * i + 1], 20);
    EXPECT_EQ(out[3 * i + 2], 10);
  }
}

// Random overlay with transparent stretches of every length, widths that are and are not
// multiples of the eight-pixel step, placed at an offset inside the frame.
TEST(Composite, MatchesPerPixelReferenceInsideAndCopiesOutside) {
  for (int ow : {1, 7, 8, 9, 16, 29}) {
    const int w = ow + 5, h = 6, left = 3, top = 2, oh = 3;
    auto frame = random_bytes(w * h * 3, 10 + ow);
    auto overlay = random_bytes(ow * oh * 4, 20 + ow);
    std::mt19937 rng(ow);
    for (int i = 0; i < ow * oh; ++i) {
      const unsigned r = rng() % 4;
      overlay[4 * i + 3] = r == 0 ? 255 : (r == 1 ? overlay[4 * i + 3] : 0);
    }
    std::vector<std::uint8_t> out(frame.size(), 0);
    composite_over_bgr(packed_frame(frame, w, h),
                       OverlayView{overlay.data(), left, top, ow, oh, ow * 4}, out.data());
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const std::uint8_t* got = &out[(y * w + x) * 3];
        const std::uint8_t* src = &frame[(y * w + x) * 3];
        const bool inside = x >= left && x < left + ow && y >= top && y < top + oh;
        if (!inside) {
          EXPECT_TRUE(got[0] == src[0] && got[1] == src[1] && got[2] == src[2]);
          continue;
        }
        expect_pixel(got, src, &overlay[((y - top) * ow + (x - left)) * 4]);
      }
    }
  }
}

TEST(Composite, OverlayRowStrideIsHonoured) {
  const int w = 4, h = 2;
  std::vector<std::uint8_t> frame(w * h * 3, 0);
  // Rows padded to 20 bytes; the padding is opaque and must never be read as a pixel.
  std::vector<std::uint8_t> overlay(20 * h, 255);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) overlay[y * 20 + 4 * x + 3] = 0;
  }
  std::vector<std::uint8_t> out(frame.size(), 1);
  composite_over_bgr(packed_frame(frame, w, h), OverlayView{overlay.data(), 0, 0, w, h, 20},
                     out.data());
  EXPECT_EQ(out, frame);
}

// Views NumPy can hand over: flipped rows, reversed channels, pixels of a wider buffer, padded
// rows. The output is always packed blue-green-red in the view's order.
TEST(Composite, StridedFrameViewsAreReadThroughTheirStrides) {
  const int w = 11, h = 4;
  auto base = random_bytes(w * h * 4 + 64, 5);  // room for every layout below
  auto packed_pixel = [&](const FrameView& v, int x, int y, int c) {
    return v.data[v.row_stride * y + v.pixel_stride * x + v.channel_stride * c];
  };
  std::vector<FrameView> views = {
      // rows bottom-up
      FrameView{base.data() + (h - 1) * w * 3, w, h, -w * 3, 3, 1},
      // channels reversed (RGB buffer seen as BGR)
      FrameView{base.data() + 2, w, h, w * 3, 3, -1},
      // every pixel four bytes apart
      FrameView{base.data(), w, h, w * 4, 4, 1},
      // rows padded by 7 bytes
      FrameView{base.data(), w, h, w * 3 + 7, 3, 1},
  };
  std::vector<std::uint8_t> overlay(w * h * 4, 0);
  overlay[4 * 5 + 0] = 200;
  overlay[4 * 5 + 3] = 128;  // pixel (5, 0) half covered
  for (const auto& view : views) {
    std::vector<std::uint8_t> out(w * h * 3, 0);
    composite_over_bgr(view, OverlayView{overlay.data(), 0, 0, w, h, w * 4}, out.data());
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        std::uint8_t src[3] = {packed_pixel(view, x, y, 0), packed_pixel(view, x, y, 1),
                               packed_pixel(view, x, y, 2)};
        expect_pixel(&out[(y * w + x) * 3], src, &overlay[(y * w + x) * 4]);
      }
    }
  }
}

// An overlay in two bands of rows: the first composited with the frame copy, the second blended
// into the output afterwards, gives the same frame as the whole overlay at once.
TEST(Composite, OverlayInBandsEqualsWholeOverlay) {
  const int w = 37, h = 9, left = 4, top = 1, ow = 30, oh = 7;
  auto frame = random_bytes(w * h * 3, 31);
  auto overlay = random_bytes(ow * oh * 4, 32);
  for (int i = 0; i < ow * oh; i += 3) overlay[4 * i + 3] = 0;
  std::vector<std::uint8_t> whole(w * h * 3), bands(w * h * 3);
  composite_over_bgr(packed_frame(frame, w, h), OverlayView{overlay.data(), left, top, ow, oh, ow * 4},
                     whole.data());
  composite_over_bgr(packed_frame(frame, w, h), OverlayView{overlay.data(), left, top, ow, 3, ow * 4},
                     bands.data());
  blend_into_bgr(OverlayView{overlay.data() + 3 * ow * 4, left, top + 3, ow, oh - 3, ow * 4},
                 bands.data(), w, h);
  EXPECT_EQ(bands, whole);
  EXPECT_THROW(blend_into_bgr(OverlayView{overlay.data(), left, top + 3, ow, oh, ow * 4},
                              bands.data(), w, h),
               std::invalid_argument);
}

TEST(Composite, RejectsOverlayOutsideFrameAndMissingPixels) {
  std::vector<std::uint8_t> frame(4 * 4 * 3, 0), overlay(4 * 4 * 4, 0), out(frame.size());
  const FrameView f = packed_frame(frame, 4, 4);
  EXPECT_THROW(composite_over_bgr(f, OverlayView{overlay.data(), 1, 0, 4, 4, 16}, out.data()),
               std::invalid_argument);
  EXPECT_THROW(composite_over_bgr(f, OverlayView{overlay.data(), 0, -1, 2, 2, 16}, out.data()),
               std::invalid_argument);
  EXPECT_THROW(composite_over_bgr(f, OverlayView{nullptr, 0, 0, 2, 2, 16}, out.data()),
               std::invalid_argument);
  EXPECT_THROW(composite_over_bgr(f, OverlayView{}, nullptr), std::invalid_argument);
  // A zero-sized frame with no overlay is nothing to do.
  EXPECT_NO_THROW(composite_over_bgr(FrameView{}, OverlayView{}, nullptr));
}

TEST(Composite, ArmBuildsBlendWithThePortableCode) {
#if defined(__aarch64__) || defined(__arm__)
  EXPECT_STREQ(kestrix::blend_path(), "portable");
#elif defined(__x86_64__)
  EXPECT_STREQ(kestrix::blend_path(), "sse2");
#endif
}

TEST(Composite, SameDigestOnEveryMachine) {
  // A large overlay with transparent stretches of every length around the 16-pixel scan, opaque
  // and partly transparent runs: the output's digest is fixed, whichever blend code runs.
  const int w = 613, h = 41;
  auto frame = random_bytes(static_cast<std::size_t>(w) * h * 3, 71);
  auto overlay = random_bytes(static_cast<std::size_t>(w) * h * 4, 72);
  std::mt19937 runs(73);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w;) {
      const int len = static_cast<int>(runs() % 40) + 1;
      const unsigned kind = runs() % 3;  // 0: transparent, 1: opaque, 2: as drawn
      for (int k = x; k < std::min(w, x + len); ++k) {
        std::uint8_t& a = overlay[4 * (static_cast<std::size_t>(y) * w + k) + 3];
        if (kind == 0) a = 0;
        if (kind == 1) a = 255;
      }
      x += len;
    }
  }
  std::vector<std::uint8_t> out(frame.size());
  composite_over_bgr(packed_frame(frame, w, h), OverlayView{overlay.data(), 0, 0, w, h, w * 4},
                     out.data());
  EXPECT_EQ(fnv1a(out), 0x430374a8fe7d0acULL) << std::hex << fnv1a(out);
}
