#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "kestrix/composite.hpp"
#include "kestrix/sparse_overlay.hpp"

using namespace kestrix;

namespace {

Ink ink_of(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a) {
  const std::uint8_t bytes[4] = {r, g, b, a};
  Ink ink;
  std::memcpy(&ink, bytes, 4);
  return ink;
}

Rect random_rect(std::mt19937& rng, int size) {
  const int x = static_cast<int>(rng() % size), y = static_cast<int>(rng() % size);
  return Rect{x, y, x + 1 + static_cast<int>(rng() % 12), y + 1 + static_cast<int>(rng() % 12)};
}

}  // namespace

TEST(GroupOverlapping, JoinsChainsAndKeepsGroupsApart) {
  // 0 and 2 meet only through 1; 3 stands alone; 4 is empty.
  const std::vector<Rect> rects{{0, 0, 10, 10}, {8, 8, 20, 12}, {18, 0, 30, 9}, {40, 40, 50, 50}, {5, 5, 5, 9}};
  const auto groups = group_overlapping(rects);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].members, (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_EQ(groups[0].rect.x1, 30);
  EXPECT_EQ(groups[1].members, (std::vector<std::size_t>{3}));
}

TEST(GroupOverlapping, RandomGroupsCoverTheirMembersAndNeverOverlap) {
  std::mt19937 rng(5);
  for (int round = 0; round < 300; ++round) {
    std::vector<Rect> rects;
    for (int i = 0; i < 25; ++i) rects.push_back(random_rect(rng, 60));
    const auto groups = group_overlapping(rects);
    std::vector<int> seen(rects.size(), 0);
    for (std::size_t g = 0; g < groups.size(); ++g) {
      for (std::size_t i = 1; i < groups[g].members.size(); ++i) {
        EXPECT_LT(groups[g].members[i - 1], groups[g].members[i]);
      }
      for (std::size_t m : groups[g].members) {
        ++seen[m];
        EXPECT_EQ(unite(groups[g].rect, rects[m]).x1, groups[g].rect.x1);
        EXPECT_EQ(intersect(groups[g].rect, rects[m]).width(), rects[m].width());
      }
      for (std::size_t h = g + 1; h < groups.size(); ++h) EXPECT_FALSE(overlaps(groups[g].rect, groups[h].rect));
    }
    for (int count : seen) EXPECT_EQ(count, 1);
  }
}

TEST(Coverage, ReportsEachPixelOnceAgainstABitmap) {
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    Coverage coverage(64, 4);
    std::vector<int> taken(4 * 64, 0), blended(4 * 64, 0);
    for (int i = 0; i < 30; ++i) {
      const int y = static_cast<int>(rng() % 5);  // row 4 lies outside
      const int x0 = static_cast<int>(rng() % 44), x1 = x0 + static_cast<int>(rng() % 20);
      std::vector<int> expected;
      for (int x = x0; x < x1 && y < 4; ++x) {
        if (!taken[y * 64 + x]) expected.push_back(x);
      }
      std::vector<int> got;
      coverage.claim(kestrix::Run{y, x0, x1}, [&](int a, int b) {
        for (int x = a; x < b; ++x) got.push_back(x);
      });
      EXPECT_EQ(got, expected);
      for (int x = x0; x < x1 && y < 4; ++x) taken[y * 64 + x] = 1;
    }
  }
}

TEST(Outline, SidesAreTheNestedFrames) {
  std::mt19937 rng(3);
  for (int round = 0; round < 500; ++round) {
    const int x0 = static_cast<int>(rng() % 10) - 3, y0 = static_cast<int>(rng() % 10) - 3;
    const int x1 = x0 + static_cast<int>(rng() % 20), y1 = y0 + static_cast<int>(rng() % 20);
    const int width = 1 + static_cast<int>(rng() % 6);
    if (!outline_is_plain(x0, y0, x1, y1, width)) continue;
    Canvas canvas(Rect{0, 0, 24, 24});
    const Ink ink = ink_of(1, 2, 3, 4);
    outline_rect(canvas, x0, y0, x1, y1, width, ink);
    for (int y = 0; y < 24; ++y) {
      for (int x = 0; x < 24; ++x) {
        const bool inside = x >= x0 && x <= x1 && y >= y0 && y <= y1;
        const int edge = std::min(std::min(x - x0, x1 - x), std::min(y - y0, y1 - y));
        Ink got;
        std::memcpy(&got, canvas.at(x, y), 4);
        EXPECT_EQ(got == ink, inside && edge < width) << x << "," << y;
      }
    }
  }
  EXPECT_FALSE(outline_is_plain(0, 0, 3, 10, 3));  // 4 pixels wide, frames of 3 meet
  EXPECT_FALSE(outline_is_plain(5, 0, 4, 10, 1));  // corners swapped
}

TEST(Runs, OfAMaskPaintTheSamePixels) {
  std::mt19937 rng(7);
  std::vector<std::uint8_t> mask(30 * 20);
  for (auto& m : mask) m = (rng() % 3 == 0) ? static_cast<std::uint8_t>(1 + rng() % 255) : 0;
  const auto runs = runs_of_mask(mask.data(), 30, 20, 30, 5, 7);
  Canvas canvas(Rect{0, 0, 40, 30});
  const Ink ink = ink_of(9, 8, 7, 6);
  paint_runs(canvas, runs, ink);
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 40; ++x) {
      const bool on = x >= 5 && x < 35 && y >= 7 && y < 27 && mask[(y - 7) * 30 + (x - 5)] != 0;
      Ink got;
      std::memcpy(&got, canvas.at(x, y), 4);
      EXPECT_EQ(got == ink, on);
    }
  }
  const Rect b = bounds_of_runs(runs);
  EXPECT_GE(b.x0, 5);
  EXPECT_LE(b.x1, 35);
}

TEST(Blocks, PasteOnlyCoveredPixelsAndTellUniformBackgrounds) {
  Canvas canvas(Rect{10, 10, 20, 20});
  const std::uint8_t rgba[4 * 4] = {1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4};
  const std::uint8_t coverage[4] = {1, 0, 0, 1};
  Block block{9, 9, 2, 2, rgba, coverage};  // top-left pixel lies outside the canvas
  Ink under = 0;
  EXPECT_TRUE(uniform_under(canvas, block, under));
  EXPECT_EQ(under, ink_of(255, 255, 255, 0));
  paste_covered(canvas, block);
  EXPECT_EQ(canvas.at(10, 10)[0], 4);
  EXPECT_EQ(canvas.at(10, 10)[3], 4);
  const Block shifted{10, 9, 2, 2, rgba, coverage};
  EXPECT_FALSE(uniform_under(canvas, Block{10, 10, 2, 2, rgba, std::vector<std::uint8_t>{1, 1, 1, 1}.data()}, under));
  const auto copy = read_block(canvas, 9, 9, 2, 2);
  EXPECT_EQ(copy[3], 0);         // outside: transparent white
  EXPECT_EQ(copy[4 * 3], 4);     // (10, 10)
  (void)shifted;
}

TEST(Composite, SolidBlendMatchesTheChannelBlendForEveryAlphaAndLength) {
  std::mt19937 rng(1);
  for (int a = 0; a < 256; ++a) {
    for (int count : {1, 2, 5, 15, 16, 17, 33, 64}) {
      std::vector<std::uint8_t> px(static_cast<std::size_t>(count) * 3);
      for (auto& p : px) p = static_cast<std::uint8_t>(rng());
      const std::uint8_t rgba[4] = {static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                                    static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(a)};
      std::vector<std::uint8_t> out = px;
      blend_solid_bgr(out.data(), count, rgba);
      for (int k = 0; k < count; ++k) {
        for (int c = 0; c < 3; ++c) {
          ASSERT_EQ(out[3 * k + c], blend_channel(rgba[2 - c], px[3 * k + c], a));
        }
      }
    }
  }
}

TEST(Composite, SparseEqualsTheWholeOverlay) {
  std::mt19937 rng(2);
  const int width = 70, height = 40;
  for (int round = 0; round < 50; ++round) {
    std::vector<std::uint8_t> frame(width * height * 3);
    for (auto& p : frame) p = static_cast<std::uint8_t>(rng());
    std::vector<std::uint8_t> whole(width * height * 4, 0);
    Coverage taken(width, height);
    // Two crops of random pixels, then solid runs over what the crops leave.
    std::vector<std::vector<std::uint8_t>> crop_pixels;
    std::vector<OverlayView> crops;
    const Rect crop_rects[2] = {{3, 2, 20, 15}, {30, 20, 60, 38}};
    for (const Rect& r : crop_rects) {
      std::vector<std::uint8_t> px(static_cast<std::size_t>(r.width()) * r.height() * 4);
      for (auto& p : px) p = static_cast<std::uint8_t>(rng());
      for (int y = r.y0; y < r.y1; ++y) {
        std::memcpy(&whole[(y * width + r.x0) * 4], &px[((y - r.y0) * r.width()) * 4], r.width() * 4);
      }
      taken.claim(r);
      crop_pixels.push_back(std::move(px));
      crops.push_back(OverlayView{crop_pixels.back().data(), r.x0, r.y0, r.width(), r.height(), r.width() * 4});
    }
    std::vector<SolidRun> runs;
    for (int i = 0; i < 40; ++i) {
      const int y = static_cast<int>(rng() % height), x0 = static_cast<int>(rng() % width);
      const int x1 = std::min(width, x0 + 1 + static_cast<int>(rng() % 30));
      const std::uint8_t c[4] = {static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                                 static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng())};
      taken.claim(kestrix::Run{y, x0, x1}, [&](int a, int b) {
        runs.push_back(SolidRun{y, a, b, {c[0], c[1], c[2], c[3]}});
        for (int x = a; x < b; ++x) std::memcpy(&whole[(y * width + x) * 4], c, 4);
      });
    }
    std::stable_sort(runs.begin(), runs.end(), [](const SolidRun& a, const SolidRun& b) { return a.y < b.y; });
    const FrameView view{frame.data(), width, height, width * 3, 3, 1};
    std::vector<std::uint8_t> expected(frame.size()), got(frame.size());
    composite_over_bgr(view, OverlayView{whole.data(), 0, 0, width, height, width * 4}, expected.data());
    composite_sparse(view, crops.data(), crops.size(), runs.data(), runs.size(), got.data());
    ASSERT_EQ(got, expected);
  }
}

TEST(Composite, SparseRefusesUnsortedOrOutsideRuns) {
  std::vector<std::uint8_t> frame(4 * 4 * 3), out(frame.size());
  const FrameView view{frame.data(), 4, 4, 12, 3, 1};
  const SolidRun unsorted[2] = {{2, 0, 1, {0, 0, 0, 9}}, {1, 0, 1, {0, 0, 0, 9}}};
  EXPECT_THROW(composite_sparse(view, nullptr, 0, unsorted, 2, out.data()), std::invalid_argument);
  const SolidRun outside[1] = {{1, 2, 5, {0, 0, 0, 9}}};
  EXPECT_THROW(composite_sparse(view, nullptr, 0, outside, 1, out.data()), std::invalid_argument);
}
