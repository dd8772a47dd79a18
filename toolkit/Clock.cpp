#include "toolkit/Clock.h"

#include <atomic>
#include <ctime>

namespace tk {

int64_t MonotonicUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

uint32_t MonotonicMs() {
  return static_cast<uint32_t>(static_cast<uint64_t>(MonotonicUs() / 1000));
}

double DateTimeFromUnixMs(int64_t unixMs, int64_t utcOffsetMs) {
  // 25569 days lie between 1899-12-30 and 1970-01-01. Whole milliseconds keep the ms resolution exact.
  const int64_t localMs = unixMs + utcOffsetMs;
  const int64_t msPerDay = 86400000;
  int64_t days = localMs / msPerDay;
  int64_t rest = localMs % msPerDay;
  if (rest < 0) {
    rest += msPerDay;
    --days;
  }
  return static_cast<double>(days + 25569) + static_cast<double>(rest) / static_cast<double>(msPerDay);
}

namespace {

// The local time's distance from UTC at `secs`, in seconds.
int64_t UtcOffsetSeconds(time_t secs) {
#if defined(_WIN32)
  // Windows has no tm_gmtoff: compare the local and the UTC calendar, which lie less than a day apart.
  tm local{}, utc{};
  localtime_s(&local, &secs);
  gmtime_s(&utc, &secs);
  int64_t days = local.tm_yday - utc.tm_yday;
  if (local.tm_year != utc.tm_year) days = local.tm_year > utc.tm_year ? 1 : -1;
  return ((days * 24 + local.tm_hour - utc.tm_hour) * 60 + local.tm_min - utc.tm_min) * 60 + local.tm_sec -
         utc.tm_sec;
#else
  tm local{};
  localtime_r(&secs, &local);
  return local.tm_gmtoff;
#endif
}

}  // namespace

double LocalDateTimeNow() {
  static std::atomic<int64_t> offsetMs{0};
  static std::atomic<int64_t> validUntil{0};  // seconds since 1970: the offset holds before this minute ends
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec >= validUntil.load(std::memory_order_relaxed)) {
    offsetMs.store(UtcOffsetSeconds(ts.tv_sec) * 1000, std::memory_order_relaxed);
    validUntil.store((ts.tv_sec / 60 + 1) * 60, std::memory_order_relaxed);
  }
  const int64_t unixMs = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  return DateTimeFromUnixMs(unixMs, offsetMs.load(std::memory_order_relaxed));
}

}  // namespace tk
