#include "kestrix/capture_pacing.hpp"

#include <algorithm>
#include <memory>
#include <random>
#include <utility>

namespace kestrix {

namespace {
std::function<double()> default_uniform() {
  auto engine = std::make_shared<std::mt19937_64>(std::random_device{}());
  return [engine] { return std::uniform_real_distribution<double>(0.0, 1.0)(*engine); };
}
}  // namespace

Backoff::Backoff(double first, double cap, double jitter, std::function<double()> uniform)
    : first_(first), cap_(cap), jitter_(jitter), delay_(first), uniform_(std::move(uniform)) {}

Backoff::Backoff(double first, double cap, double jitter)
    : Backoff(first, cap, jitter, default_uniform()) {}

double Backoff::next() {
  const double delay = delay_;
  delay_ = std::min(cap_, delay_ * 2.0);
  return delay * (1.0 - jitter_ * uniform_());
}

bool RateLimit::allow(double now) {
  if (period_ <= 0.0) return true;
  if (started_ && now < next_) return false;
  // On schedule the next slot is a period after this one; a source that paused for longer than
  // a period starts a new schedule now, so the slots it missed are not made up in a burst.
  next_ = (started_ && next_ + period_ > now) ? next_ + period_ : now + period_;
  started_ = true;
  return true;
}

bool is_whole_jpeg(const unsigned char* data, std::size_t size) {
  return size >= 4 && data[0] == 0xFF && data[1] == 0xD8 && data[size - 2] == 0xFF &&
         data[size - 1] == 0xD9;
}

}  // namespace kestrix
