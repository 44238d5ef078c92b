#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "kestrix/base64.hpp"

namespace b64 = kestrix::base64;

namespace {

std::string decode_error(std::string_view text) {
  b64::DecodeResult result{};
  EXPECT_EQ(b64::decode(text, &result), "");
  return b64::error_message(result);
}

}  // namespace

TEST(Base64, EncodesTheRfc4648Vectors) {
  EXPECT_EQ(b64::encode(""), "");
  EXPECT_EQ(b64::encode("f"), "Zg==");
  EXPECT_EQ(b64::encode("fo"), "Zm8=");
  EXPECT_EQ(b64::encode("foo"), "Zm9v");
  EXPECT_EQ(b64::encode("foob"), "Zm9vYg==");
  EXPECT_EQ(b64::encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(b64::encode("foobar"), "Zm9vYmFy");
}

TEST(Base64, UsesTheStandardAlphabetForHighBits) {
  EXPECT_EQ(b64::encode(std::string("\xfb\xff\xbf", 3)), "+/+/");
  EXPECT_EQ(b64::encode(std::string("\xff\xd8\xff\xe0", 4)), "/9j/4A==");
}

TEST(Base64, EncodedSizes) {
  EXPECT_EQ(b64::encoded_size(0), 0u);
  EXPECT_EQ(b64::encoded_size(1), 4u);
  EXPECT_EQ(b64::encoded_size(3), 4u);
  EXPECT_EQ(b64::encoded_size(4), 8u);
}

TEST(Base64, RoundTripsEveryLengthAndByteValue) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  for (std::size_t n = 0; n < 300; ++n) {
    std::string data(n, '\0');
    for (auto& c : data) c = static_cast<char>(byte(rng));
    const std::string text = b64::encode(data);
    ASSERT_EQ(text.size(), b64::encoded_size(n));
    b64::DecodeResult result{};
    ASSERT_EQ(b64::decode(text, &result), data) << "length " << n;
    EXPECT_EQ(result.status, b64::DecodeStatus::Ok);
  }
}

TEST(Base64, SkipsCharactersOutsideTheAlphabet) {
  EXPECT_EQ(b64::decode("Zm9v\nYmFy\n"), "foobar");
  EXPECT_EQ(b64::decode(" Z-m_9 v!Y*m\x80" "Fy"), "foobar");
  EXPECT_EQ(b64::decode("Z m 8 ="), "fo");
  EXPECT_EQ(b64::decode("Zg=\t="), "f");
}

TEST(Base64, FillBeforeTheSecondDataCharacterIsIgnored) {
  EXPECT_EQ(b64::decode("=Zm9v"), "foo");
  EXPECT_EQ(b64::decode("Z=m9v"), "foo");
  EXPECT_EQ(b64::decode("===="), "");
}

TEST(Base64, CompleteFillEndsTheText) {
  EXPECT_EQ(b64::decode("Zg==Zm9v"), "f");
  EXPECT_EQ(b64::decode("Zm8=!!garbage"), "fo");
  EXPECT_EQ(b64::decode("Zm9v="), "foo");
}

TEST(Base64, DataBetweenFillCharactersRestartsTheCount) {
  // "Zg=" then a data character: the group has three characters, then "=" completes it.
  EXPECT_EQ(b64::decode("Zg=A="), std::string("f\0", 2));
}

TEST(Base64, RefusesIncompleteGroups) {
  EXPECT_EQ(decode_error("Zg"), "Incorrect padding");
  EXPECT_EQ(decode_error("Zm8"), "Incorrect padding");
  EXPECT_EQ(decode_error("Zg="), "Incorrect padding");
  EXPECT_EQ(decode_error("Z=g"), "Incorrect padding");
  EXPECT_EQ(decode_error("Z"),
            "Invalid base64-encoded string: number of data characters (1) cannot be 1 more "
            "than a multiple of 4");
  EXPECT_EQ(decode_error("Zm9vY"),
            "Invalid base64-encoded string: number of data characters (5) cannot be 1 more "
            "than a multiple of 4");
  EXPECT_EQ(decode_error("Zm9vYmFy=Z"),
            "Invalid base64-encoded string: number of data characters (9) cannot be 1 more "
            "than a multiple of 4");
}

TEST(Base64, DecodedSizeBoundHoldsForAnyText) {
  std::mt19937 rng(11);
  const std::string pool = "ABCDabcd0189+/=== \n-_";
  std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
  for (int round = 0; round < 2000; ++round) {
    std::string text(round % 40, '\0');
    for (auto& c : text) c = pool[pick(rng)];
    // Decode into a buffer of exactly the bound with a guard byte behind it.
    std::string buffer(b64::decoded_size_bound(text.size()) + 1, '\x5a');
    auto result = b64::decode(text.data(), text.size(), reinterpret_cast<unsigned char*>(buffer.data()));
    ASSERT_LE(result.size, b64::decoded_size_bound(text.size()));
    ASSERT_EQ(buffer.back(), '\x5a') << text;
  }
}

// The vector code (where the machine has it) against the portable code: same text, same bytes,
// same verdict, for long texts with every kind of character in every position of a block.
TEST(Base64, VectorCodeMatchesThePortableCode) {
  std::printf("base64 code: %s\n", b64::simd_path());
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> byte(0, 255);
  for (std::size_t n : {0u, 23u, 24u, 31u, 32u, 47u, 48u, 49u, 95u, 96u, 100u, 1000u, 4099u}) {
    std::string data(n, '\0');
    for (auto& c : data) c = static_cast<char>(byte(rng));
    std::string text(b64::encoded_size(n), '\0'), reference(text);
    b64::encode(reinterpret_cast<const unsigned char*>(data.data()), n, text.data());
    b64::encode_portable(reinterpret_cast<const unsigned char*>(data.data()), n, reference.data());
    ASSERT_EQ(text, reference) << "length " << n;
    ASSERT_EQ(b64::decode(text), data) << "length " << n;
  }
  const std::string clean = b64::encode(std::string(300, '\x5a') + "tail");
  auto both = [](const std::string& text) {
    std::string a(b64::decoded_size_bound(text.size()), '\0'), b(a);
    const auto ra = b64::decode(text.data(), text.size(), reinterpret_cast<unsigned char*>(a.data()));
    const auto rb =
        b64::decode_portable(text.data(), text.size(), reinterpret_cast<unsigned char*>(b.data()));
    EXPECT_EQ(ra.status, rb.status);
    EXPECT_EQ(ra.size, rb.size);
    EXPECT_EQ(a.substr(0, ra.size), b.substr(0, rb.size));
  };
  for (int ch = 0; ch < 256; ++ch) {
    for (std::size_t pos : {0u, 5u, 31u, 32u, 63u, 64u, 200u}) {
      std::string text = clean;
      text[pos] = static_cast<char>(ch);
      both(text);
      text.insert(pos, 1, static_cast<char>(ch));
      both(text);
    }
  }
  std::uniform_int_distribution<int> gap(0, 120);
  for (int round = 0; round < 200; ++round) {
    std::string text = clean;
    for (std::size_t pos = gap(rng); pos < text.size(); pos += 1 + gap(rng)) {
      text.insert(pos, 1, "\n=!A"[round % 4]);
    }
    both(text);
  }
}
