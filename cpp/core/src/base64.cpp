#include "kestrix/base64.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KX_BASE64_AVX2 1
#include <cpuid.h>
#include <immintrin.h>
#endif

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

void encode_portable(const unsigned char* src, std::size_t size, char* dst) {
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

namespace {

// The decoder, binascii's rules character by character. At every group boundary with at least
// 64 characters left, `bulk` may take a run of whole 32-character blocks that are all alphabet
// (the same groups the fast path below would take one by one): it returns the characters it
// decoded, 24 bytes written per 32.
template <typename Bulk>
DecodeResult decode_with(const char* src, std::size_t size, unsigned char* dst, Bulk bulk) {
  const auto* text = reinterpret_cast<const unsigned char*>(src);
  const std::uint8_t* values = kValues.values.data();
  unsigned char* out = dst;
  int quad_pos = 0;        // data characters of the current group seen so far
  unsigned left = 0;       // bits of the current group not yet written
  int pads = 0;            // fill characters since the last data character
  std::size_t i = 0;
  while (i < size) {
    if (quad_pos == 0 && size - i >= 64) {
      const std::size_t taken = bulk(text + i, size - i, out);
      if (taken > 0) {
        i += taken;
        out += taken / 4 * 3;
        pads = 0;
        continue;
      }
    }
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

// The portable decoder's `bulk`: takes nothing, and the compiler drops the call.
struct NoBulk {
  std::size_t operator()(const unsigned char*, std::size_t, unsigned char*) const { return 0; }
};

#ifdef KX_BASE64_AVX2

// The vector code follows Muła and Lemire, "Faster Base64 Encoding and Decoding Using AVX2
// Instructions" (2018).

// 24 bytes from src (28 readable) to 32 characters at dst.
__attribute__((target("avx2"))) void encode_block_avx2(const unsigned char* src, char* dst) {
  // Each 128-bit lane takes 12 bytes and spreads every 3 bytes s0 s1 s2 over 4 as s1 s0 s2 s1.
  const __m256i in = _mm256_setr_m128i(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)),
                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 12)));
  const __m256i spread = _mm256_shuffle_epi8(
      in, _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,  //
                           1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10));
  // Four 6-bit values per 32 bits, moved into place by multiplies: the first and third by the
  // high half of a 16-bit product, the second and fourth by the low half.
  const __m256i t0 = _mm256_and_si256(spread, _mm256_set1_epi32(0x0fc0fc00));
  const __m256i t1 = _mm256_mulhi_epu16(t0, _mm256_set1_epi32(0x04000040));
  const __m256i t2 = _mm256_and_si256(spread, _mm256_set1_epi32(0x003f03f0));
  const __m256i t3 = _mm256_mullo_epi16(t2, _mm256_set1_epi32(0x01000010));
  const __m256i values = _mm256_or_si256(t1, t3);
  // Value to character: an offset per range (A-Z, a-z, 0-9, "+", "/"), picked by a shuffle.
  __m256i range = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
  range = _mm256_sub_epi8(range, _mm256_cmpgt_epi8(values, _mm256_set1_epi8(25)));
  const __m256i offsets = _mm256_setr_epi8(65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19,
                                           -16, 0, 0, 65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4,
                                           -4, -19, -16, 0, 0);
  const __m256i chars = _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, range));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), chars);
}

__attribute__((target("avx2"))) void encode_avx2(const unsigned char* src, std::size_t size,
                                                 char* dst) {
  std::size_t done = 0;
  for (; size - done >= 32; done += 24) encode_block_avx2(src + done, dst + done / 3 * 4);
  encode_portable(src + done, size - done, dst + done / 3 * 4);
}

// Whole 32-character blocks while they are all alphabet and at least 64 characters are left
// (so the 32-byte stores, 24 bytes of output and 8 written over, stay inside the output).
__attribute__((target("avx2"))) std::size_t decode_blocks_avx2(const unsigned char* text,
                                                               std::size_t size,
                                                               unsigned char* out) {
  // A character is outside the alphabet when the bits its low and high nibbles select meet.
  const __m256i lut_lo = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                          0x11, 0x13, 0x1a, 0x1b, 0x1b, 0x1b, 0x1a,  //
                                          0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                          0x11, 0x13, 0x1a, 0x1b, 0x1b, 0x1b, 0x1a);
  const __m256i lut_hi = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10,
                                          0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,  //
                                          0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10,
                                          0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  // Character to value: an offset per high nibble, "/" set apart from "+".
  const __m256i lut_roll = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0,
                                            0, 0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0,
                                            0, 0);
  const __m256i nibble = _mm256_set1_epi8(0x0f);
  const __m256i gather = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,
                                          2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
  std::size_t done = 0;
  for (; size - done >= 64; done += 32, out += 24) {
    const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + done));
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi32(in, 4), nibble);
    const __m256i lo = _mm256_and_si256(in, nibble);
    if (!_mm256_testz_si256(_mm256_shuffle_epi8(lut_lo, lo), _mm256_shuffle_epi8(lut_hi, hi))) {
      break;
    }
    const __m256i is_slash = _mm256_cmpeq_epi8(in, _mm256_set1_epi8('/'));
    const __m256i values =
        _mm256_add_epi8(in, _mm256_shuffle_epi8(lut_roll, _mm256_add_epi8(is_slash, hi)));
    // a b c d (6 bits each) to the 24-bit a<<18 | b<<12 | c<<6 | d, then its bytes high first.
    const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
    const __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    const __m256i bytes =
        _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, gather), lanes);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
  }
  return done;
}

// Asked of the processor itself (CPUID, and XGETBV for the operating system's saving of the
// 256-bit registers) rather than through __builtin_cpu_supports: that one reads a table the
// compiler's runtime fills in at load, which the Zig-built wheels' runtime leaves empty.
bool cpu_has_avx2() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) return false;
  unsigned xcr0_lo = 0, xcr0_hi = 0;
  __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));  // xgetbv
  if ((xcr0_lo & 0x6) != 0x6) return false;  // XMM and YMM state
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  return (b & bit_AVX2) != 0;
}

bool has_avx2() {
  static const bool yes = cpu_has_avx2();
  return yes;
}

#endif  // KX_BASE64_AVX2

}  // namespace

void encode(const unsigned char* src, std::size_t size, char* dst) {
#ifdef KX_BASE64_AVX2
  if (has_avx2()) return encode_avx2(src, size, dst);
#endif
  encode_portable(src, size, dst);
}

DecodeResult decode(const char* src, std::size_t size, unsigned char* dst) {
#ifdef KX_BASE64_AVX2
  if (has_avx2()) return decode_with(src, size, dst, decode_blocks_avx2);
#endif
  return decode_with(src, size, dst, NoBulk{});
}

DecodeResult decode_portable(const char* src, std::size_t size, unsigned char* dst) {
  return decode_with(src, size, dst, NoBulk{});
}

const char* simd_path() {
#ifdef KX_BASE64_AVX2
  if (has_avx2()) return "avx2";
#endif
  return "portable";
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
