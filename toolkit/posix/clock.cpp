// The clocks on POSIX.
#include <ctime>

#include "toolkit/Clock.h"
#include "toolkit/ClockOs.h"

namespace tk {

int64_t MonotonicUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

namespace os {

int64_t UnixTimeMs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t UtcOffsetSeconds(int64_t unixSecs) {
  const time_t secs = static_cast<time_t>(unixSecs);
  tm local{};
  localtime_r(&secs, &local);
  return local.tm_gmtoff;
}

}  // namespace os
}  // namespace tk
