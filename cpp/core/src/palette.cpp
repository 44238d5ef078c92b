#include "kestrix/palette.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

// The palette must come out bit for bit the same on every machine: no fused multiply-add may
// merge the products and sums of the distance or the conversion.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("fp-contract=off")
#elif defined(__clang__)
#pragma clang fp contract(off)
#endif

namespace kestrix {
namespace palette {

namespace {

constexpr int kM = 397;
constexpr std::uint32_t kMatrixA = 0x9908b0dfU;
constexpr std::uint32_t kUpperMask = 0x80000000U;
constexpr std::uint32_t kLowerMask = 0x7fffffffU;

inline double dist_parts(double ha, double sa, double va, double hb, double sb, double vb) {
  const double d = std::fabs(ha - hb);
  const double dh = 2.0 * std::min(d, 1.0 - d);
  const double ds = std::fabs(sa - sb);
  const double dv = std::fabs(va - vb);
  return (dh * dh + ds * ds) + dv * dv;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// MT19937 (reference implementation by Matsumoto and Nishimura).

Mt19937::Mt19937(const std::uint32_t* key, std::size_t key_length) {
  mt_[0] = 19650218U;
  for (int i = 1; i < kN; ++i) {
    mt_[i] = 1812433253U * (mt_[i - 1] ^ (mt_[i - 1] >> 30)) + static_cast<std::uint32_t>(i);
  }
  int i = 1;
  std::size_t j = 0;
  for (std::size_t k = std::max<std::size_t>(kN, key_length); k > 0; --k) {
    mt_[i] = (mt_[i] ^ ((mt_[i - 1] ^ (mt_[i - 1] >> 30)) * 1664525U)) + key[j] +
             static_cast<std::uint32_t>(j);
    ++i;
    ++j;
    if (i >= kN) {
      mt_[0] = mt_[kN - 1];
      i = 1;
    }
    if (j >= key_length) j = 0;
  }
  for (int k = kN - 1; k > 0; --k) {
    mt_[i] = (mt_[i] ^ ((mt_[i - 1] ^ (mt_[i - 1] >> 30)) * 1566083941U)) - static_cast<std::uint32_t>(i);
    ++i;
    if (i >= kN) {
      mt_[0] = mt_[kN - 1];
      i = 1;
    }
  }
  mt_[0] = 0x80000000U;
  mti_ = kN;
}

void Mt19937::reload() {
  auto twist = [](std::uint32_t upper, std::uint32_t lower, std::uint32_t far) {
    const std::uint32_t y = (upper & kUpperMask) | (lower & kLowerMask);
    return far ^ (y >> 1) ^ ((y & 1U) ? kMatrixA : 0U);
  };
  int kk = 0;
  for (; kk < kN - kM; ++kk) mt_[kk] = twist(mt_[kk], mt_[kk + 1], mt_[kk + kM]);
  for (; kk < kN - 1; ++kk) mt_[kk] = twist(mt_[kk], mt_[kk + 1], mt_[kk + kM - kN]);
  mt_[kN - 1] = twist(mt_[kN - 1], mt_[0], mt_[kM - 1]);
  mti_ = 0;
}

std::uint32_t Mt19937::next_u32() {
  if (mti_ >= kN) reload();
  std::uint32_t y = mt_[mti_++];
  y ^= (y >> 11);
  y ^= (y << 7) & 0x9d2c5680U;
  y ^= (y << 15) & 0xefc60000U;
  y ^= (y >> 18);
  return y;
}

double Mt19937::random() {
  const std::uint32_t a = next_u32() >> 5;
  const std::uint32_t b = next_u32() >> 6;
  return (a * 67108864.0 + b) * (1.0 / 9007199254740992.0);
}

// ---------------------------------------------------------------------------------------------
// Distance and conversion.

double dist(const Hsv& a, const Hsv& b) { return dist_parts(a.h, a.s, a.v, b.h, b.s, b.v); }

double min_distance(const Hsv* set, std::size_t count, const Hsv& candidate) {
  double best = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < count; ++i) {
    const double d = dist(set[i], candidate);
    if (d < best) best = d;
  }
  return best;
}

double round_half_even(double x) {
  const double r = std::round(x);  // halves away from zero
  if (std::fabs(x - r) == 0.5) return 2.0 * std::round(x / 2.0);
  return r;
}

std::array<double, 3> hsv_to_rgb_unit(double h, double s, double v) {
  if (s == 0.0) return {v, v, v};
  const double h6 = h * 6.0;
  const double i = std::trunc(h6);
  const double f = h6 - i;
  const double p = v * (1.0 - s);
  const double q = v * (1.0 - s * f);
  const double t = v * (1.0 - s * (1.0 - f));
  double sector = std::fmod(i, 6.0);
  if (sector < 0) sector += 6.0;
  switch (static_cast<int>(sector)) {
    case 0: return {v, t, p};
    case 1: return {q, v, p};
    case 2: return {p, v, t};
    case 3: return {p, q, v};
    case 4: return {t, p, v};
    default: return {v, p, q};
  }
}

std::array<double, 3> hsv2rgb_scaled(double h, double s, double v) {
  std::array<double, 3> c = hsv_to_rgb_unit(h, s, v);
  for (double& x : c) x = round_half_even(x * 255.0);
  return c;
}

Rgb hsv2rgb(const Hsv& c) {
  const std::array<double, 3> x = hsv2rgb_scaled(c.h, c.s, c.v);
  return Rgb{static_cast<int>(x[0]), static_cast<int>(x[1]), static_cast<int>(x[2])};
}

// ---------------------------------------------------------------------------------------------
// Candidate search.

PaletteBuilder::PaletteBuilder() {
  chosen_.push_back(first_colour);
  hue_.push_back(first_colour.h);
  sat_.push_back(first_colour.s);
  val_.push_back(first_colour.v);
}

namespace {

constexpr std::size_t kWindow = 8;  // colours on each side of the candidate's hue

// Smallest distance from `c` to the 2 * kWindow colours nearest to it in hue order (all of them
// when there are fewer): an upper bound of the candidate's score.
double near_hue_bound(const double* hue, const double* sat, const double* val, std::size_t n,
                      const Hsv& c) {
  double m = std::numeric_limits<double>::infinity();
  if (n <= 2 * kWindow) {
    for (std::size_t idx = 0; idx < n; ++idx) m = std::min(m, dist_parts(hue[idx], sat[idx], val[idx], c.h, c.s, c.v));
    return m;
  }
  // Position of the first hue not below c.h (branch-free binary search over the sorted hues).
  const double* base = hue;
  for (std::size_t len = n; len > 1;) {
    const std::size_t half = len / 2;
    base = (base[half] < c.h) ? base + half : base;
    len -= half;
  }
  const std::size_t p = static_cast<std::size_t>(base - hue) + (*base < c.h ? 1 : 0);
  // Two running minima keep the comparisons out of one long dependency chain.
  double m2 = m;
  std::size_t idx = p >= kWindow ? p - kWindow : p + n - kWindow;
  for (std::size_t k = 0; k < kWindow; ++k) {
    m = std::min(m, dist_parts(hue[idx], sat[idx], val[idx], c.h, c.s, c.v));
    if (++idx == n) idx = 0;
    m2 = std::min(m2, dist_parts(hue[idx], sat[idx], val[idx], c.h, c.s, c.v));
    if (++idx == n) idx = 0;
  }
  m = std::min(m, m2);
  return m;
}

// True when a candidate with score (or score bound) `score` drawn at `index` cannot beat the
// current best: a larger score wins, and among equal scores the one drawn first.
inline bool loses(double score, std::size_t index, double best, std::size_t best_index) {
  return score < best || (score == best && index > best_index);
}

}  // namespace

std::size_t PaletteBuilder::add_best(const Hsv* candidates, std::size_t count) {
  assert(count >= 1);
  const double* hue = hue_.data();
  const double* sat = sat_.data();
  const double* val = val_.data();
  const std::size_t n = hue_.size();

  // Exact score of candidate j, or a value at which it provably loses to the current best.
  double best = 0.0;
  std::size_t best_index = count;  // none yet
  auto score = [&](std::size_t j) {
    constexpr std::size_t kBlock = 32;
    const Hsv& c = candidates[j];
    double m = bound_[j];
    for (std::size_t start = 0; start < n; start += kBlock) {
      const std::size_t end = std::min(n, start + kBlock);
      for (std::size_t idx = start; idx < end; ++idx) {
        const double d = dist_parts(hue[idx], sat[idx], val[idx], c.h, c.s, c.v);
        if (d < m) m = d;
      }
      if (best_index != count && loses(m, j, best, best_index)) break;
    }
    return m;
  };

  // The candidate with the largest bound is scored first: its score is usually the winning one
  // or close to it, so most other candidates are then ruled out by their bound alone. The
  // minimum over a set does not depend on the order of its elements, and a candidate is set
  // aside only when it provably cannot win, so the pick is exactly that of the plain rule.
  bound_.resize(count);
  std::size_t first = 0;
  for (std::size_t j = 0; j < count; ++j) {
    bound_[j] = near_hue_bound(hue, sat, val, n, candidates[j]);
    if (bound_[j] > bound_[first]) first = j;
  }
  best = score(first);
  best_index = first;
  for (std::size_t j = 0; j < count; ++j) {
    if (j == first || loses(bound_[j], j, best, best_index)) continue;
    const double m = score(j);
    if (!loses(m, j, best, best_index)) {
      best = m;
      best_index = j;
    }
  }

  const Hsv& pick = candidates[best_index];
  chosen_.push_back(pick);
  const auto at = std::upper_bound(hue_.begin(), hue_.end(), pick.h) - hue_.begin();
  hue_.insert(hue_.begin() + at, pick.h);
  sat_.insert(sat_.begin() + at, pick.s);
  val_.insert(val_.begin() + at, pick.v);
  return best_index;
}

std::vector<Hsv> generate_hsv(std::size_t n, Mt19937& rng) {
  PaletteBuilder builder;
  std::vector<Hsv> candidates(candidates_num);
  for (std::size_t k = 1; k < n; ++k) {
    for (Hsv& c : candidates) c = draw_candidate(rng);
    builder.add_best(candidates.data(), candidates.size());
  }
  return builder.chosen();
}

std::vector<Rgb> generate_palette(std::size_t n) {
  Mt19937 rng(default_seed);
  std::vector<Rgb> out;
  out.reserve(n);
  for (const Hsv& c : generate_hsv(n, rng)) out.push_back(hsv2rgb(c));
  return out;
}

double alpha_channel_value(double a) {
  if (0.0 <= a && a <= 1.0) return std::trunc(a * 255.0);
  return std::trunc(a);
}

long long alpha_channel_value(long long a) {
  if (a == 0 || a == 1) return a * 255;
  return a;
}

}  // namespace palette
}  // namespace kestrix
