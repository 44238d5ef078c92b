#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kestrix/palette.hpp"

namespace pal = kestrix::palette;

namespace {

// The plain rule: score every candidate against every chosen colour, keep the first maximum.
std::size_t plain_best(const std::vector<pal::Hsv>& chosen, const std::vector<pal::Hsv>& candidates) {
  std::size_t best_index = 0;
  double best = -std::numeric_limits<double>::infinity();
  for (std::size_t j = 0; j < candidates.size(); ++j) {
    const double score = pal::min_distance(chosen.data(), chosen.size(), candidates[j]);
    if (score > best) {
      best = score;
      best_index = j;
    }
  }
  return best_index;
}

}  // namespace

TEST(Mt19937, MatchesTheReferenceArraySeeding) {
  // Output of the reference mt19937ar.c for init_by_array({0x123, 0x234, 0x345, 0x456}).
  const std::uint32_t key[] = {0x123, 0x234, 0x345, 0x456};
  pal::Mt19937 rng(key, 4);
  const std::uint32_t expected[] = {1067595299U, 955945823U, 477289528U, 4107218783U, 4228976476U};
  for (std::uint32_t e : expected) EXPECT_EQ(rng.next_u32(), e);
}

TEST(Mt19937, SeedOfThePaletteGivesTheKnownSequence) {
  // random.Random(2766): getrandbits(32) and random() of Python's generator.
  pal::Mt19937 words(pal::default_seed);
  EXPECT_EQ(words.next_u32(), 2090134777U);
  EXPECT_EQ(words.next_u32(), 223371923U);
  EXPECT_EQ(words.next_u32(), 1861046616U);
  pal::Mt19937 rng(pal::default_seed);
  EXPECT_EQ(rng.random(), 0x1.f253b386a8314p-2);
  EXPECT_EQ(rng.random(), 0x1.bbb54536bcf3ap-2);
  EXPECT_EQ(rng.random(), 0x1.ad8acaef668b2p-2);
  pal::Mt19937 u(pal::default_seed);
  EXPECT_EQ(u.uniform(0.8, 1.0), 0x1.cb6ec52710d1cp-1);
}

TEST(Mt19937, DrawsStayInTheUnitInterval) {
  pal::Mt19937 rng(12345U);
  for (int i = 0; i < 2000; ++i) {  // crosses several reloads of the state
    const double x = rng.random();
    ASSERT_GE(x, 0.0);
    ASSERT_LT(x, 1.0);
  }
}

TEST(Dist, SquaredDistanceWithHueAroundTheCircle) {
  EXPECT_EQ(pal::dist({0.0, 1.0, 1.0}, {0.5, 1.0, 1.0}), 1.0);
  EXPECT_EQ(pal::dist({0.3, 0.9, 0.7}, {0.3, 0.9, 0.7}), 0.0);
  EXPECT_NEAR(pal::dist({0.95, 1, 1}, {0.05, 1, 1}), pal::dist({0.05, 1, 1}, {0.15, 1, 1}), 1e-15);
  const pal::Hsv a{0.2, 0.9, 0.6}, b{0.7, 0.85, 0.95};
  EXPECT_EQ(pal::dist(a, b), pal::dist(b, a));
  const double ds = 1.0 - 0.8;
  EXPECT_EQ(pal::dist({0.0, 0.8, 0.5}, {0.0, 1.0, 1.0}), (0.0 + ds * ds) + 0.5 * 0.5);
}

TEST(MinDistance, SmallestOverTheSet) {
  const std::vector<pal::Hsv> set{{0.0, 1, 1}, {0.5, 1, 1}, {0.3, 1, 1}};
  EXPECT_EQ(pal::min_distance(set.data(), set.size(), {0.35, 1, 1}), pal::dist(set[2], {0.35, 1, 1}));
  EXPECT_TRUE(std::isinf(pal::min_distance(set.data(), 0, {0.35, 1, 1})));
}

TEST(RoundHalfEven, HalvesGoToTheEvenNeighbour) {
  EXPECT_EQ(pal::round_half_even(0.5), 0.0);
  EXPECT_EQ(pal::round_half_even(1.5), 2.0);
  EXPECT_EQ(pal::round_half_even(2.5), 2.0);
  EXPECT_EQ(pal::round_half_even(127.5), 128.0);
  EXPECT_EQ(pal::round_half_even(-2.5), -2.0);
  EXPECT_EQ(pal::round_half_even(2.4999999), 2.0);
  EXPECT_EQ(pal::round_half_even(2.5000001), 3.0);
}

TEST(Hsv2Rgb, HexconeSectorsScaledAndRounded) {
  EXPECT_EQ(pal::hsv2rgb({1.0, 1.0, 1.0}), (pal::Rgb{255, 0, 0}));  // sector 6 wraps to 0
  EXPECT_EQ(pal::hsv2rgb({0.0, 0.0, 0.5}), (pal::Rgb{128, 128, 128}));
  EXPECT_EQ(pal::hsv2rgb({1.0 / 3, 1.0, 1.0}), (pal::Rgb{0, 255, 0}));
  EXPECT_EQ(pal::hsv2rgb({2.0 / 3, 1.0, 1.0}), (pal::Rgb{0, 0, 255}));
  EXPECT_EQ(pal::hsv2rgb({0.5, 0.5, 1.0}), (pal::Rgb{128, 255, 255}));  // 127.5 -> 128
  EXPECT_EQ(pal::hsv2rgb({0.9, 1.0, 1.0}), (pal::Rgb{255, 0, 153}));
  // Negative hues reduce by floor modulo of the truncated sector: int(-1.2) = -1 -> 5.
  const auto neg = pal::hsv_to_rgb_unit(-0.2, 1.0, 1.0);
  EXPECT_EQ(neg[0], 1.0);
}

TEST(AlphaChannelValue, FractionsScaleAndTruncateOthersTruncate) {
  EXPECT_EQ(pal::alpha_channel_value(0.5), 127.0);
  EXPECT_EQ(pal::alpha_channel_value(1.0), 255.0);
  EXPECT_EQ(pal::alpha_channel_value(0.0), 0.0);
  EXPECT_EQ(pal::alpha_channel_value(200.9), 200.0);
  EXPECT_EQ(pal::alpha_channel_value(-5.5), -5.0);
  EXPECT_EQ(pal::alpha_channel_value(1.0000001), 1.0);
  EXPECT_EQ(pal::alpha_channel_value(1LL), 255LL);
  EXPECT_EQ(pal::alpha_channel_value(0LL), 0LL);
  EXPECT_EQ(pal::alpha_channel_value(2LL), 2LL);
  EXPECT_EQ(pal::alpha_channel_value(300LL), 300LL);
  EXPECT_EQ(pal::alpha_channel_value(-1LL), -1LL);
}

TEST(PaletteBuilder, PicksWhatThePlainRuleWouldPick) {
  // Many rounds with several generators: the pruned search must agree with the plain rule
  // every time, up to palettes of a few hundred colours.
  for (std::uint32_t seed : {1U, 2766U, 99U, 424242U}) {
    pal::Mt19937 rng(seed);
    pal::PaletteBuilder builder;
    std::vector<pal::Hsv> candidates(pal::candidates_num);
    for (int round = 0; round < 300; ++round) {
      for (auto& c : candidates) c = pal::draw_candidate(rng);
      const std::vector<pal::Hsv> before = builder.chosen();
      const std::size_t expected = plain_best(before, candidates);
      ASSERT_EQ(builder.add_best(candidates.data(), candidates.size()), expected)
          << "seed " << seed << " round " << round;
    }
  }
}

TEST(PaletteBuilder, EqualScoresKeepTheFirstDrawn) {
  // Candidates in mirrored pairs around the first colour score equally.
  pal::PaletteBuilder builder;
  std::vector<pal::Hsv> candidates;
  for (int k = 0; k < 50; ++k) {
    candidates.push_back({0.25, 1.0, 1.0});
    candidates.push_back({0.75, 1.0, 1.0});
  }
  EXPECT_EQ(builder.add_best(candidates.data(), candidates.size()), 0U);
  EXPECT_EQ(builder.chosen().back().h, 0.25);
}

TEST(PaletteBuilder, TiesOnACoarseGridFollowThePlainRule) {
  // Candidates from a coarse grid repeat and tie all the time, with differing bounds; the
  // first drawn of the best must still win in every round.
  pal::Mt19937 rng(31U);
  pal::PaletteBuilder builder;
  std::vector<pal::Hsv> candidates(pal::candidates_num);
  for (int round = 0; round < 120; ++round) {
    for (auto& c : candidates) {
      c.h = std::floor(rng.random() * 16.0) / 16.0;
      c.s = rng.random() < 0.5 ? 0.75 : 1.0;
      c.v = std::floor(rng.random() * 3.0) / 4.0 + 0.5;
    }
    const std::vector<pal::Hsv> before = builder.chosen();
    ASSERT_EQ(builder.add_best(candidates.data(), candidates.size()), plain_best(before, candidates))
        << "round " << round;
  }
}

TEST(PaletteBuilder, ManyColoursAgreeWithThePlainRule) {
  // Past the sizes of the shared palette, where the hue-ordered bound matters most.
  pal::Mt19937 rng(7U);
  pal::PaletteBuilder builder;
  std::vector<pal::Hsv> candidates(pal::candidates_num);
  for (int round = 0; round < 600; ++round) {
    for (auto& c : candidates) c = pal::draw_candidate(rng);
    if (round % 50 != 49) {
      builder.add_best(candidates.data(), candidates.size());
      continue;
    }
    const std::vector<pal::Hsv> before = builder.chosen();
    ASSERT_EQ(builder.add_best(candidates.data(), candidates.size()), plain_best(before, candidates));
  }
}

TEST(GeneratePalette, KnownEntriesOfTheDefaultPalette) {
  const std::vector<pal::Rgb> p = pal::generate_palette(256);
  ASSERT_EQ(p.size(), 256U);
  EXPECT_EQ(p[0], (pal::Rgb{255, 0, 0}));
  EXPECT_EQ(p[1], (pal::Rgb{21, 181, 168}));
  EXPECT_EQ(p[2], (pal::Rgb{107, 4, 143}));
  EXPECT_EQ(p[5], (pal::Rgb{75, 46, 237}));
  EXPECT_EQ(p[100], (pal::Rgb{191, 103, 32}));
  EXPECT_EQ(p[255], (pal::Rgb{1, 179, 76}));
  const std::vector<pal::Rgb> ten = pal::generate_palette(10);
  EXPECT_TRUE(std::equal(ten.begin(), ten.end(), p.begin()));
  EXPECT_EQ(pal::generate_palette(1), std::vector<pal::Rgb>{(pal::Rgb{255, 0, 0})});
}

TEST(GeneratePalette, SameDigestOnEveryMachine) {
  // Every entry of a long palette, bit for bit: a fused multiply-add or another rounding anywhere
  // in the colour search changes some entry and so the digest.
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const pal::Rgb& c : pal::generate_palette(1000)) {
    for (int channel : {c.r, c.g, c.b}) h = (h ^ static_cast<std::uint8_t>(channel)) * 0x100000001b3ULL;
  }
  EXPECT_EQ(h, 0xd21051def86f03f9ULL) << std::hex << h;
}
