// The clocks in the browser (and under Node): the page's monotonic clock (performance.now, Node's hrtime),
// and the wall clock and local time of JavaScript's Date, which knows the user's time zone.
#include <emscripten.h>

#include <cmath>

#include "toolkit/Clock.h"
#include "toolkit/ClockOs.h"

namespace {

// Date's own milliseconds since 1970 (whole numbers), and the local time's offset from UTC at a moment.
EM_JS(double, brae_date_now_ms, (), { return Date.now(); });
EM_JS(double, brae_utc_offset_seconds, (double unixMs),
      { return Math.round(-new Date(unixMs).getTimezoneOffset() * 60); });

}  // namespace

namespace tk {

int64_t MonotonicUs() {
  // Milliseconds with a fraction (coarsened by the browser to some microseconds); never backwards.
  return static_cast<int64_t>(std::floor(emscripten_get_now() * 1000.0));
}

namespace os {

int64_t UnixTimeMs() {
  return static_cast<int64_t>(brae_date_now_ms());
}

int64_t UtcOffsetSeconds(int64_t unixSecs) {
  return static_cast<int64_t>(brae_utc_offset_seconds(static_cast<double>(unixSecs) * 1000.0));
}

}  // namespace os
}  // namespace tk
