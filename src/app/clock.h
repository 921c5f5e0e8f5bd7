// The program's clocks in one seam: the communication objects, the client layer and the file
// services read time only through here, so tests can drive it instead of sleeping.
#pragma once
#include <cstdint>
#include <ctime>

time_t ClockNow();      // wall-clock seconds
int64_t ClockMonoUs();  // monotonic microseconds (cycle timing, waits)

// Replaces the clocks (either may be null: that one stays the system's); both null restores them.
using ClockNowFn = time_t (*)();
using ClockMonoFn = int64_t (*)();
void SetClock(ClockNowFn now, ClockMonoFn mono);
