// Colour palette: a seeded best-of-candidates search for well-separated saturated colours in HSV
// space, the HSV-to-RGB conversion, and the numeric rules of colour values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrix {
namespace palette {

// A colour in HSV space, each component a double in [0, 1]; hue 1.0 is hue 0.0 (red).
struct Hsv {
  double h;
  double s;
  double v;
};

// An RGB palette entry, channels 0..255.
struct Rgb {
  int r;
  int g;
  int b;
  bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};

// Candidates drawn for every colour after the first.
constexpr int candidates_num = 100;
// Seed of the default generator (array seeding over the one-word key {default_seed}).
constexpr std::uint32_t default_seed = 2766;
// The first colour of every palette.
constexpr Hsv first_colour{1.0, 1.0, 1.0};

// The 32-bit Mersenne Twister MT19937 of the published reference implementation, seeded by its
// array routine (init_by_array). random() is its 53-bit resolution draw (genrand_res53), so the
// sequence equals that of Python's random.Random(seed) for a seed below 2**32.
class Mt19937 {
 public:
  Mt19937(const std::uint32_t* key, std::size_t key_length);
  explicit Mt19937(std::uint32_t seed) : Mt19937(&seed, 1) {}

  std::uint32_t next_u32();
  // ((a >> 5) * 2**26 + (b >> 6)) / 2**53 over two consecutive outputs a, b: a double in [0, 1).
  double random();
  // lo + (hi - lo) * random(), in that order.
  double uniform(double lo, double hi) { return lo + (hi - lo) * random(); }

 private:
  void reload();
  static constexpr int kN = 624;
  std::array<std::uint32_t, kN> mt_{};
  int mti_ = kN;
};

// Squared distance of two HSV colours: (dh*dh + ds*ds) + dv*dv with the hue difference taken
// around the colour circle and doubled (opposite hues give dh = 1). Symmetric; dist(c, c) == 0.
double dist(const Hsv& a, const Hsv& b);

// Smallest dist(o, candidate) over the `count` colours of `set`; +infinity when count is 0.
double min_distance(const Hsv* set, std::size_t count, const Hsv& candidate);

// Round to the nearest integer, halves to the even neighbour (independent of the FPU mode).
double round_half_even(double x);

// The standard hexcone HSV-to-RGB conversion, channels in [0, 1] for inputs in [0, 1].
// Requires finite inputs; hue is reduced around the circle as int(h * 6) mod 6 (floor modulo).
std::array<double, 3> hsv_to_rgb_unit(double h, double s, double v);

// hsv_to_rgb_unit scaled by 255 and rounded half to even, as doubles (exact integers).
std::array<double, 3> hsv2rgb_scaled(double h, double s, double v);

// The palette entry of an HSV colour with components in [0, 1].
Rgb hsv2rgb(const Hsv& c);

// The chosen colours of a palette under construction and the search that picks the next one.
// The search returns exactly what the plain rule gives: the candidate with the largest
// min_distance to the chosen colours, the first drawn among equal scores.
class PaletteBuilder {
 public:
  PaletteBuilder();

  // Picks the best of `count` candidates (count >= 1), appends it, returns its index.
  std::size_t add_best(const Hsv* candidates, std::size_t count);

  const std::vector<Hsv>& chosen() const { return chosen_; }

 private:
  std::vector<Hsv> chosen_;
  // The chosen colours ordered by hue, as separate arrays, for a scan that starts near the
  // candidate's hue (a close colour found early rules out a losing candidate early).
  std::vector<double> hue_;
  std::vector<double> sat_;
  std::vector<double> val_;
  // Per-search scratch: an upper bound of each candidate's score.
  std::vector<double> bound_;
};

// The n HSV colours of a palette drawn from `rng`: the first colour, then for each further
// colour candidates_num candidates of three draws each (hue = random(), saturation =
// uniform(0.8, 1.0), value = uniform(0.5, 1.0)), the best one chosen. n >= 1.
std::vector<Hsv> generate_hsv(std::size_t n, Mt19937& rng);

// generate_hsv with the default generator, converted by hsv2rgb.
std::vector<Rgb> generate_palette(std::size_t n);

// Draws the three components of one candidate, in the palette's draw order.
template <typename Rng>
Hsv draw_candidate(Rng& rng) {
  Hsv c;
  c.h = rng.random();
  c.s = rng.uniform(0.8, 1.0);
  c.v = rng.uniform(0.5, 1.0);
  return c;
}

// The alpha channel value of a numeric 4-component colour: a in [0, 1] is a fraction, giving the
// integer part of a * 255; any other value gives its own integer part (no clamping). The result
// is an integer-valued double (truncated toward zero). Requires a finite value.
double alpha_channel_value(double a);
// The same rule for an integer alpha: 0 stays 0, 1 becomes 255, anything else is unchanged.
long long alpha_channel_value(long long a);

}  // namespace palette
}  // namespace kestrix
