// The core's base64 on one 1920x1080 frame's worth of bytes (618,438 bytes, 824,584 characters):
// the code this machine picks (AVX2 where it has it) against the portable code, in one run.
//
//   cmake --build build/core-tests --target kestrix_base64_bench && build/core-tests/kestrix_base64_bench
//
// (build/core-tests as scripts/test.sh configures it). Each figure is the best of 50 passes.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "kestrix/base64.hpp"

namespace b64 = kestrix::base64;

template <typename F>
double best_ms(F pass) {
  double best = 1e9;
  for (int k = 0; k < 50; ++k) {
    const auto t0 = std::chrono::steady_clock::now();
    pass();
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  return best;
}

int main() {
  std::string data(618438, '\0');
  std::mt19937 rng(1);
  for (auto& c : data) c = static_cast<char>(rng());
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  std::string text(b64::encoded_size(data.size()), '\0');
  std::string out(b64::decoded_size_bound(text.size()), '\0');
  auto* dst = reinterpret_cast<unsigned char*>(out.data());

  const double enc = best_ms([&] { b64::encode(bytes, data.size(), text.data()); });
  const double enc_p = best_ms([&] { b64::encode_portable(bytes, data.size(), text.data()); });
  const double dec = best_ms([&] { b64::decode(text.data(), text.size(), dst); });
  const double dec_p = best_ms([&] { b64::decode_portable(text.data(), text.size(), dst); });
  if (out.compare(0, data.size(), data) != 0) {
    std::printf("decoded bytes differ\n");
    return 1;
  }
  std::printf("code picked here: %s\n", b64::simd_path());
  std::printf("encode  %.3f ms, portable %.3f ms (%.1fx)\n", enc, enc_p, enc_p / enc);
  std::printf("decode  %.3f ms, portable %.3f ms (%.1fx)\n", dec, dec_p, dec_p / dec);
  return 0;
}
