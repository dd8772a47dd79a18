// The clocks on Windows: the C runtime's clock_gettime (MinGW's POSIX threads library), and the UTC offset
// from the calendars, since Windows has no tm_gmtoff.
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
  // Compare the local and the UTC calendar, which lie less than a day apart.
  const time_t secs = static_cast<time_t>(unixSecs);
  tm local{}, utc{};
  localtime_s(&local, &secs);
  gmtime_s(&utc, &secs);
  int64_t days = local.tm_yday - utc.tm_yday;
  if (local.tm_year != utc.tm_year) days = local.tm_year > utc.tm_year ? 1 : -1;
  return ((days * 24 + local.tm_hour - utc.tm_hour) * 60 + local.tm_min - utc.tm_min) * 60 + local.tm_sec -
         utc.tm_sec;
}

}  // namespace os
}  // namespace tk
