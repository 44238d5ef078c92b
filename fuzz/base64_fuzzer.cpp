// Fuzz target of the core's base64 coder (libFuzzer, clang++ -fsanitize=fuzzer,address,undefined).
//
// Every input is decoded by the core and by a plain rendering of the rules of Python's
// binascii.a2b_base64 (what base64.b64decode runs without validate=True), and the two must agree
// on the bytes or on the error text; both decode entry points (buffer and std::string) must
// agree; and encoding the input must give the standard text, which decodes back to the input.
// A disagreement aborts, and libFuzzer saves the input.
//
// Built with -DKX_BASE64_REPLAY instead, this is a command-line tool: for every file named on
// the command line it prints one line, "ok <hex of the decoded bytes>" or "error <error text>",
// so that fuzz/base64_replay.py can hold the core's answers against Python's own base64 module.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "kestrix/base64.hpp"

namespace b64 = kestrix::base64;

namespace {

struct Decoded {
  bool ok;
  std::string bytes;  // when ok
  std::string error;  // when not
};

int value_of(unsigned char ch) {
  if (ch >= 'A' && ch <= 'Z') return ch - 'A';
  if (ch >= 'a' && ch <= 'z') return ch - 'a' + 26;
  if (ch >= '0' && ch <= '9') return ch - '0' + 52;
  if (ch == '+') return 62;
  if (ch == '/') return 63;
  return -1;
}

// binascii.a2b_base64 without strict mode, one character at a time.
Decoded reference_decode(std::string_view text) {
  std::string out;
  int quad_pos = 0;
  int pads = 0;
  unsigned left = 0;
  for (unsigned char ch : text) {
    if (ch == '=') {
      if (quad_pos >= 2 && quad_pos + ++pads >= 4) return {true, out, ""};
      continue;
    }
    const int v = value_of(ch);
    if (v < 0) continue;
    pads = 0;
    switch (quad_pos) {
      case 0:
        quad_pos = 1;
        left = static_cast<unsigned>(v);
        break;
      case 1:
        quad_pos = 2;
        out.push_back(static_cast<char>(((left << 2) | (static_cast<unsigned>(v) >> 4)) & 0xff));
        left = static_cast<unsigned>(v) & 0x0f;
        break;
      case 2:
        quad_pos = 3;
        out.push_back(static_cast<char>(((left << 4) | (static_cast<unsigned>(v) >> 2)) & 0xff));
        left = static_cast<unsigned>(v) & 0x03;
        break;
      default:
        quad_pos = 0;
        out.push_back(static_cast<char>(((left << 6) | static_cast<unsigned>(v)) & 0xff));
        left = 0;
        break;
    }
  }
  if (quad_pos == 1) {
    return {false, "", "Invalid base64-encoded string: number of data characters (" +
                           std::to_string(out.size() / 3 * 4 + 1) +
                           ") cannot be 1 more than a multiple of 4"};
  }
  if (quad_pos != 0) return {false, "", "Incorrect padding"};
  return {true, out, ""};
}

Decoded core_decode(std::string_view text) {
  b64::DecodeResult result{};
  std::string bytes = b64::decode(text, &result);
  if (result.status != b64::DecodeStatus::Ok) return {false, "", b64::error_message(result)};
  return {true, bytes, ""};
}

std::string reference_encode(std::string_view bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      v = (v << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (std::size_t k = 0; k < 4; ++k) {
      out.push_back(k <= n ? alphabet[(v >> (18 - 6 * k)) & 0x3f] : '=');
    }
  }
  return out;
}

}  // namespace

#ifndef KX_BASE64_REPLAY

#define KX_CHECK(cond, what)                                   \
  do {                                                         \
    if (!(cond)) {                                             \
      std::fprintf(stderr, "base64 fuzzer: mismatch: %s\n", what); \
      std::abort();                                            \
    }                                                          \
  } while (0)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const Decoded expected = reference_decode(input);
  const Decoded got = core_decode(input);
  KX_CHECK(got.ok == expected.ok, "accepted or refused differently");
  KX_CHECK(got.bytes == expected.bytes, "decoded bytes differ");
  KX_CHECK(got.error == expected.error, "error texts differ");

  // The buffer entry point writes no more than its bound, and the same bytes.
  std::string buffer(b64::decoded_size_bound(size), '\0');
  const b64::DecodeResult raw =
      b64::decode(input.data(), size, reinterpret_cast<unsigned char*>(buffer.data()));
  KX_CHECK((raw.status == b64::DecodeStatus::Ok) == expected.ok, "buffer decoder disagrees");
  KX_CHECK(raw.size <= buffer.size(), "decoded past the bound");
  if (expected.ok) KX_CHECK(buffer.substr(0, raw.size) == expected.bytes, "buffer bytes differ");

  // Encoding: the standard text, of the announced size, which decodes back to the input.
  const std::string text = b64::encode(input);
  KX_CHECK(text.size() == b64::encoded_size(size), "encoded size");
  KX_CHECK(text == reference_encode(input), "encoded text differs");
  const Decoded back = core_decode(text);
  KX_CHECK(back.ok && back.bytes == input, "round trip");
  return 0;
}

#else

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 2;
    }
    const std::string input((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const Decoded got = core_decode(input);
    if (got.ok) {
      std::printf("ok ");
      for (unsigned char c : got.bytes) std::printf("%02x", c);
      std::printf("\n");
    } else {
      std::printf("error %s\n", got.error.c_str());
    }
  }
  return 0;
}

#endif
