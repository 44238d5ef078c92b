// Pacing of a camera reader: the reconnection back-off, the store-rate limit and the check that
// a buffer holds one whole JPEG file.
#pragma once

#include <cstddef>
#include <functional>

namespace kestrix {

// Delays between reconnection attempts: `first` seconds, doubling after each attempt up to
// `cap`, each drawn at random from [delay * (1 - jitter), delay], so that devices that lost the
// same camera do not all knock at once. reset() after a success starts again from `first`.
class Backoff {
 public:
  // `uniform`: a random number in [0, 1) (tests pass their own).
  Backoff(double first, double cap, double jitter, std::function<double()> uniform);
  Backoff(double first = 0.5, double cap = 10.0, double jitter = 0.25);

  // The delay before the next attempt; the one after it is twice as long (up to the cap).
  double next();
  void reset() { delay_ = first_; }

 private:
  double first_, cap_, jitter_;
  double delay_;
  std::function<double()> uniform_;
};

// At most `fps` events per second, on a clock given at each call: an event is let through when
// a full period has gone since the last one let through. Periods do not accumulate, so after a
// pause the rate does not burst. fps <= 0 lets everything through.
class RateLimit {
 public:
  explicit RateLimit(double fps) : period_(fps > 0 ? 1.0 / fps : 0.0) {}
  bool allow(double now);

 private:
  double period_;
  double next_ = 0.0;
  bool started_ = false;
};

// True when `data` starts with the JPEG start-of-image marker (FF D8) and ends with the
// end-of-image marker (FF D9): a whole file, not a cut-off one.
bool is_whole_jpeg(const unsigned char* data, std::size_t size);

}  // namespace kestrix
