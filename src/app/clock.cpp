// The program's clocks and their test seam.
#include "app/clock.h"

#include <atomic>

namespace {

std::atomic<ClockNowFn> now_fn{nullptr};
std::atomic<ClockMonoFn> mono_fn{nullptr};

}  // namespace

time_t ClockNow() {
  ClockNowFn f = now_fn.load();
  return f ? f() : time(nullptr);
}

int64_t ClockMonoUs() {
  ClockMonoFn f = mono_fn.load();
  if (f) return f();
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void SetClock(ClockNowFn now, ClockMonoFn mono) {
  now_fn = now;
  mono_fn = mono;
}
