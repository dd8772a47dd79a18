// The clocks of the process: one monotonic counter that every runtime, timer and delay measures with, and the
// local date-time. Another operating system's clocks are its own ClockOs.h file (posix/clock.cpp,
// win32/clock.cpp).
#pragma once

#include <cstdint>

namespace tk {

// Microseconds of the monotonic clock (never steps, counts from an arbitrary origin).
int64_t MonotonicUs();
// The same clock in milliseconds, wrapping at 2^32.
uint32_t MonotonicMs();

// Days since 1899-12-30 00:00 with the time of day as the fraction, from milliseconds since 1970 and the
// offset of local time from UTC.
double DateTimeFromUnixMs(int64_t unixMs, int64_t utcOffsetMs);
// The local date-time now. The offset from UTC is looked up again at each new minute (time-zone changes fall
// on whole minutes), not at every call: the lookup consults the zone file and the engine asks several times a
// block.
double LocalDateTimeNow();

}  // namespace tk
