#include "kestrix/base64.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace kestrix::base64 {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kFill = '=';

// Two output characters for every 12-bit value: one table look-up per half of a 3-byte group.
struct PairTable {
  std::array<char, 2 * 4096> chars{};
  constexpr PairTable() {
    for (std::size_t v = 0; v < 4096; ++v) {
      chars[2 * v] = kAlphabet[v >> 6];
      chars[2 * v + 1] = kAlphabet[v & 0x3f];
    }
  }
};
constexpr PairTable kPairs;

// Value of every byte: 0-63 for the alphabet, kSkip for everything else ("=" included, which
// the decoder tests for before it looks a character up).
constexpr std::uint8_t kSkip = 0xff;
struct ValueTable {
  std::array<std::uint8_t, 256> values{};
  constexpr ValueTable() {
    for (auto& v : values) v = kSkip;
    for (std::uint8_t i = 0; i < 64; ++i) values[static_cast<unsigned char>(kAlphabet[i])] = i;
  }
};
constexpr ValueTable kValues;

}  // namespace

void encode(const unsigned char* src, std::size_t size, char* dst) {
  const char* pairs = kPairs.chars.data();
  std::size_t groups = size / 3;
  for (std::size_t g = 0; g < groups; ++g, src += 3, dst += 4) {
    const std::uint32_t v = (std::uint32_t{src[0]} << 16) | (std::uint32_t{src[1]} << 8) | src[2];
    std::memcpy(dst, pairs + 2 * (v >> 12), 2);
    std::memcpy(dst + 2, pairs + 2 * (v & 0xfff), 2);
  }
  switch (size - groups * 3) {
    case 1:
      dst[0] = kAlphabet[src[0] >> 2];
      dst[1] = kAlphabet[(src[0] & 0x03) << 4];
      dst[2] = kFill;
      dst[3] = kFill;
      break;
    case 2:
      dst[0] = kAlphabet[src[0] >> 2];
      dst[1] = kAlphabet[((src[0] & 0x03) << 4) | (src[1] >> 4)];
      dst[2] = kAlphabet[(src[1] & 0x0f) << 2];
      dst[3] = kFill;
      break;
    default:
      break;
  }
}

DecodeResult decode(const char* src, std::size_t size, unsigned char* dst) {
  const auto* text = reinterpret_cast<const unsigned char*>(src);
  const std::uint8_t* values = kValues.values.data();
  unsigned char* out = dst;
  int quad_pos = 0;        // data characters of the current group seen so far
  unsigned left = 0;       // bits of the current group not yet written
  int pads = 0;            // fill characters since the last data character
  std::size_t i = 0;
  while (i < size) {
    // Fast path: a whole group of four data characters at a group boundary.
    if (quad_pos == 0 && size - i >= 4) {
      const unsigned a = values[text[i]], b = values[text[i + 1]], c = values[text[i + 2]],
                     d = values[text[i + 3]];
      if ((a | b | c | d) < 64) {
        out[0] = static_cast<unsigned char>((a << 2) | (b >> 4));
        out[1] = static_cast<unsigned char>((b << 4) | (c >> 2));
        out[2] = static_cast<unsigned char>((c << 6) | d);
        out += 3;
        i += 4;
        pads = 0;
        continue;
      }
    }
    const unsigned char ch = text[i++];
    if (ch == kFill) {
      // Fill before the second data character of a group is ignored; a complete fill ends
      // the text (the group's data is already written).
      if (quad_pos >= 2 && quad_pos + ++pads >= 4) return {DecodeStatus::Ok, std::size_t(out - dst)};
      continue;
    }
    const unsigned v = values[ch];
    if (v >= 64) continue;
    pads = 0;
    switch (quad_pos) {
      case 0:
        left = v;
        quad_pos = 1;
        break;
      case 1:
        *out++ = static_cast<unsigned char>((left << 2) | (v >> 4));
        left = v & 0x0f;
        quad_pos = 2;
        break;
      case 2:
        *out++ = static_cast<unsigned char>((left << 4) | (v >> 2));
        left = v & 0x03;
        quad_pos = 3;
        break;
      default:
        *out++ = static_cast<unsigned char>((left << 6) | v);
        left = 0;
        quad_pos = 0;
        break;
    }
  }
  const std::size_t written = out - dst;
  if (quad_pos == 1) return {DecodeStatus::ExcessCharacter, written};
  if (quad_pos != 0) return {DecodeStatus::IncorrectPadding, written};
  return {DecodeStatus::Ok, written};
}

std::string error_message(const DecodeResult& result) {
  switch (result.status) {
    case DecodeStatus::Ok:
      return {};
    case DecodeStatus::ExcessCharacter:
      return "Invalid base64-encoded string: number of data characters (" +
             std::to_string(result.size / 3 * 4 + 1) + ") cannot be 1 more than a multiple of 4";
    case DecodeStatus::IncorrectPadding:
      return "Incorrect padding";
  }
  return {};
}

std::string encode(std::string_view bytes) {
  std::string text(encoded_size(bytes.size()), '\0');
  encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), text.data());
  return text;
}

std::string decode(std::string_view text, DecodeResult* result) {
  std::string bytes(decoded_size_bound(text.size()), '\0');
  DecodeResult r = decode(text.data(), text.size(), reinterpret_cast<unsigned char*>(bytes.data()));
  if (result != nullptr) *result = r;
  if (r.status != DecodeStatus::Ok) return {};
  bytes.resize(r.size);
  return bytes;
}

}  // namespace kestrix::base64
