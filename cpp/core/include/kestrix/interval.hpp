// Time since an event, measured on a monotonic clock: a wall clock stepped back or forward (a
// device without a real-time clock setting its time from NTP) does not stretch or shorten it.
#pragma once

#include <functional>

namespace kestrix {

// Seconds on std::chrono::steady_clock, from an arbitrary origin.
double steady_seconds();

class IntervalTimer {
 public:
  // `clock`: seconds on a clock that never goes back (steady_seconds by default; tests pass
  // their own).
  explicit IntervalTimer(std::function<double()> clock = steady_seconds);

  // Seconds since the last mark(); infinity before the first one, so that a check against any
  // interval passes at once.
  double since_mark() const;

  // Remembers now as the time of the event.
  void mark();

  // True when more than `seconds` have passed since the last mark() (or none was made).
  bool passed(double seconds) const { return since_mark() > seconds; }

 private:
  std::function<double()> clock_;
  bool marked_ = false;
  double last_ = 0.0;
};

}  // namespace kestrix
