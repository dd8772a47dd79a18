#include "toolkit/Clock.h"

#include <atomic>

#include "toolkit/ClockOs.h"

namespace tk {

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

double LocalDateTimeNow() {
  static std::atomic<int64_t> offsetMs{0};
  static std::atomic<int64_t> validUntil{0};  // seconds since 1970: the offset holds before this minute ends
  const int64_t unixMs = os::UnixTimeMs();
  const int64_t secs = unixMs / 1000;
  if (secs >= validUntil.load(std::memory_order_relaxed)) {
    offsetMs.store(os::UtcOffsetSeconds(secs) * 1000, std::memory_order_relaxed);
    validUntil.store((secs / 60 + 1) * 60, std::memory_order_relaxed);
  }
  return DateTimeFromUnixMs(unixMs, offsetMs.load(std::memory_order_relaxed));
}

}  // namespace tk
