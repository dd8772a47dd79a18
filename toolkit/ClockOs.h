// What the clocks need from the operating system, one file per system (posix/clock.cpp, win32/clock.cpp);
// tk::MonotonicUs is defined there too.
#pragma once

#include <cstdint>

namespace tk::os {

// The wall clock: milliseconds since 1970-01-01 UTC.
int64_t UnixTimeMs();

// The local time's distance from UTC at `unixSecs`, in seconds.
int64_t UtcOffsetSeconds(int64_t unixSecs);

}  // namespace tk::os
