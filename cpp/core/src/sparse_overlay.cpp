#include "kestrix/sparse_overlay.hpp"

#include <algorithm>
#include <cstring>

namespace kestrix {

Rect intersect(const Rect& a, const Rect& b) {
  Rect r{std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1), std::min(a.y1, b.y1)};
  if (r.empty()) return Rect{};
  return r;
}

Rect unite(const Rect& a, const Rect& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return Rect{std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
}

bool overlaps(const Rect& a, const Rect& b) {
  return !a.empty() && !b.empty() && a.x0 < b.x1 && b.x0 < a.x1 && a.y0 < b.y1 && b.y0 < a.y1;
}

std::vector<CropGroup> group_overlapping(const std::vector<Rect>& rects) {
  std::vector<CropGroup> groups;
  for (std::size_t i = 0; i < rects.size(); ++i) {
    if (rects[i].empty()) continue;
    CropGroup merged{rects[i], {i}};
    // Absorb every group the growing rectangle meets until it meets none.
    bool grew = true;
    while (grew) {
      grew = false;
      for (std::size_t g = 0; g < groups.size(); ++g) {
        if (!overlaps(groups[g].rect, merged.rect)) continue;
        merged.rect = unite(merged.rect, groups[g].rect);
        merged.members.insert(merged.members.end(), groups[g].members.begin(), groups[g].members.end());
        groups.erase(groups.begin() + static_cast<std::ptrdiff_t>(g));
        grew = true;
        break;
      }
    }
    std::sort(merged.members.begin(), merged.members.end());
    groups.push_back(std::move(merged));
  }
  return groups;
}

Canvas::Canvas(const Rect& r) : rect(r) {
  const std::size_t pixels = r.empty() ? 0 : static_cast<std::size_t>(r.width()) * r.height();
  rgba.resize(pixels * 4);
  for (std::size_t p = 0; p < pixels; ++p) {
    rgba[4 * p] = rgba[4 * p + 1] = rgba[4 * p + 2] = 255;
    rgba[4 * p + 3] = 0;
  }
}

namespace {

void fill_span(Canvas& canvas, int y, int x0, int x1, Ink ink) {
  if (y < canvas.rect.y0 || y >= canvas.rect.y1) return;
  x0 = std::max(x0, canvas.rect.x0);
  x1 = std::min(x1, canvas.rect.x1);
  if (x1 <= x0) return;
  std::uint8_t* p = canvas.at(x0, y);
  for (int x = x0; x < x1; ++x, p += 4) std::memcpy(p, &ink, 4);
}

}  // namespace

void fill_rect(Canvas& canvas, const Rect& r, Ink ink) {
  const Rect c = intersect(r, canvas.rect);
  for (int y = c.y0; y < c.y1; ++y) fill_span(canvas, y, c.x0, c.x1, ink);
}

bool outline_is_plain(int x0, int y0, int x1, int y1, int width) {
  if (x1 < x0 || y1 < y0) return false;
  if (width <= 0) return true;
  const long long w = static_cast<long long>(x1) - x0 + 1, h = static_cast<long long>(y1) - y0 + 1;
  return 2LL * width <= w && 2LL * width <= h;
}

std::array<Rect, 4> outline_sides(int x0, int y0, int x1, int y1, int width) {
  return {Rect{x0, y0, x1 + 1, y0 + width}, Rect{x0, y1 - width + 1, x1 + 1, y1 + 1},
          Rect{x0, y0 + width, x0 + width, y1 - width + 1},
          Rect{x1 - width + 1, y0 + width, x1 + 1, y1 - width + 1}};
}

void outline_rect(Canvas& canvas, int x0, int y0, int x1, int y1, int width, Ink ink) {
  if (width <= 0) return;
  for (const Rect& side : outline_sides(x0, y0, x1, y1, width)) fill_rect(canvas, side, ink);
}

std::vector<Run> runs_of_mask(const std::uint8_t* mask, int width, int height, std::ptrdiff_t stride,
                              int left, int top) {
  std::vector<Run> runs;
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* row = mask + stride * y;
    int x = 0;
    while (x < width) {
      while (x < width && row[x] == 0) ++x;
      if (x == width) break;
      const int start = x;
      while (x < width && row[x] != 0) ++x;
      runs.push_back(Run{top + y, left + start, left + x});
    }
  }
  return runs;
}

Rect bounds_of_runs(const std::vector<Run>& runs) {
  Rect r;
  for (const Run& run : runs) r = unite(r, Rect{run.x0, run.y, run.x1, run.y + 1});
  return r;
}

void paint_runs(Canvas& canvas, const std::vector<Run>& runs, Ink ink) {
  for (const Run& run : runs) fill_span(canvas, run.y, run.x0, run.x1, ink);
}

void paste_covered(Canvas& canvas, const Block& block) {
  const Rect c = intersect(Rect{block.left, block.top, block.left + block.width, block.top + block.height},
                           canvas.rect);
  for (int y = c.y0; y < c.y1; ++y) {
    const std::size_t row = static_cast<std::size_t>(y - block.top) * block.width;
    std::uint8_t* out = canvas.at(c.x0, y);
    for (int x = c.x0; x < c.x1; ++x, out += 4) {
      const std::size_t i = row + (x - block.left);
      if (block.coverage[i]) std::memcpy(out, block.rgba + 4 * i, 4);
    }
  }
}

std::vector<std::uint8_t> read_block(Canvas& canvas, int left, int top, int width, int height) {
  Canvas block(Rect{left, top, left + width, top + height});
  const Rect c = intersect(block.rect, canvas.rect);
  for (int y = c.y0; y < c.y1; ++y) {
    std::memcpy(block.at(c.x0, y), canvas.at(c.x0, y), static_cast<std::size_t>(c.width()) * 4);
  }
  return std::move(block.rgba);
}

bool uniform_under(Canvas& canvas, const Block& block, Ink& value) {
  const Rect c = intersect(Rect{block.left, block.top, block.left + block.width, block.top + block.height},
                           canvas.rect);
  bool seen = false;
  Ink first = 0;
  for (int y = c.y0; y < c.y1; ++y) {
    const std::size_t row = static_cast<std::size_t>(y - block.top) * block.width;
    const std::uint8_t* under = canvas.at(c.x0, y);
    for (int x = c.x0; x < c.x1; ++x, under += 4) {
      if (!block.coverage[row + (x - block.left)]) continue;
      Ink v;
      std::memcpy(&v, under, 4);
      if (!seen) {
        first = v;
        seen = true;
      } else if (v != first) {
        return false;
      }
    }
  }
  if (seen) value = first;
  return true;
}

Coverage::Coverage(int width, int height)
    : width_(std::max(width, 0)), height_(std::max(height, 0)),
      words_((static_cast<std::size_t>(std::max(width, 0)) + 63) / 64),
      bits_(words_ * static_cast<std::size_t>(std::max(height, 0)), 0) {}

int Coverage::next(const std::uint64_t* row, int x, int x1, bool taken) {
  while (x < x1) {
    const std::uint64_t word = taken ? row[x >> 6] : ~row[x >> 6];
    const std::uint64_t from_x = word >> (x & 63);
    if (from_x != 0) {
      const int found = x + __builtin_ctzll(from_x);
      return std::min(found, x1);
    }
    x = (x | 63) + 1;  // the next word
  }
  return x1;
}

void Coverage::take(int y, int x0, int x1) {
  std::uint64_t* row = bits_.data() + static_cast<std::size_t>(y) * words_;
  while (x0 < x1) {
    const int bit = x0 & 63;
    const int n = std::min(64 - bit, x1 - x0);
    const std::uint64_t mask = (n == 64 ? ~0ULL : ((1ULL << n) - 1)) << bit;
    row[x0 >> 6] |= mask;
    x0 += n;
  }
}

}  // namespace kestrix
