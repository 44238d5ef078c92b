// Standard base64 (RFC 4648 alphabet A-Z a-z 0-9 + /, "=" fill, no line breaks).
//
// The decoder is the lenient one of Python's base64.b64decode (binascii.a2b_base64 without
// strict mode), so that frames read by the kit decode exactly as a Python consumer decodes them:
//   - characters outside the alphabet are skipped wherever they appear;
//   - "=" only counts once at least two data characters of a group are in; a complete fill
//     ends the text, and anything after it is ignored;
//   - a text whose data characters do not end on a complete group (or a group completed by
//     its fill) is refused.
// Both directions write into a caller-provided buffer, so callers can encode or decode
// straight into the memory of the object that will hold the result.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrix::base64 {

// Length of the base64 text of `size` bytes.
constexpr std::size_t encoded_size(std::size_t size) { return (size + 2) / 3 * 4; }

// Writes the base64 text of src[0, size) to dst, which holds encoded_size(size) characters
// (no terminator is written).
void encode(const unsigned char* src, std::size_t size, char* dst);

// Upper bound of the decoded size of a text of `size` characters.
constexpr std::size_t decoded_size_bound(std::size_t size) { return (size + 3) / 4 * 3; }

enum class DecodeStatus {
  Ok,
  // The data characters end one past a complete group: no text encodes to that.
  ExcessCharacter,
  // The last group has two or three data characters and no complete fill.
  IncorrectPadding,
};

struct DecodeResult {
  DecodeStatus status;
  std::size_t size;  // bytes written to dst (all of them valid only when status is Ok)
};

// Decodes src[0, size) into dst, which holds decoded_size_bound(size) bytes.
DecodeResult decode(const char* src, std::size_t size, unsigned char* dst);

// The error text Python's binascii gives for a refused text; empty for Ok.
std::string error_message(const DecodeResult& result);

// The code the two directions run: "avx2" (x86-64 with AVX2, picked at load: 32 characters per
// step wherever a stretch of text is all alphabet) or "portable".
const char* simd_path();

// The portable code alone, whatever the machine: the reference the vector code is tested
// against. Same contracts as encode and decode.
void encode_portable(const unsigned char* src, std::size_t size, char* dst);
DecodeResult decode_portable(const char* src, std::size_t size, unsigned char* dst);

// Conveniences over std::string.
std::string encode(std::string_view bytes);
// Decoded bytes, or the refusal in `result` (when given) and an empty string.
std::string decode(std::string_view text, DecodeResult* result = nullptr);

}  // namespace kestrix::base64
