#include "kestrix/interval.hpp"

#include <chrono>
#include <limits>
#include <utility>

namespace kestrix {

double steady_seconds() {
  using std::chrono::duration;
  using std::chrono::steady_clock;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

IntervalTimer::IntervalTimer(std::function<double()> clock) : clock_(std::move(clock)) {}

double IntervalTimer::since_mark() const {
  if (!marked_) return std::numeric_limits<double>::infinity();
  return clock_() - last_;
}

void IntervalTimer::mark() {
  last_ = clock_();
  marked_ = true;
}

}  // namespace kestrix
