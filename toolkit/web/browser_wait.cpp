// The wait that gives control back to the browser: an asynchronous JavaScript call (EM_ASYNC_JS, which
// Asyncify suspends the program in) on the promise of toolkit/web/browser_wait.js.
#include <emscripten.h>

#include <cmath>

#include "toolkit/Clock.h"
#include "toolkit/web/BrowserWait.h"

extern "C" {
int brae_wait_take_rouse();
void brae_wait_rouse();
}

namespace {

// 1 when roused, 0 when its time came (by the browser's timer, whose clock is not ours).
EM_ASYNC_JS(int, brae_wait_sleep, (double ms), { return await BraeWait.sleep(ms); });

}  // namespace

namespace tk::web {

void WaitRoused(uint32_t ms) {
  if (brae_wait_take_rouse()) return;
  const int64_t deadline = MonotonicUs() + int64_t{ms} * 1000;
  // A timer may fire a little before our clock says its time has come: wait again for the rest.
  for (int64_t left = int64_t{ms} * 1000;;) {
    if (brae_wait_sleep(std::ceil(static_cast<double>(left) / 1000.0)) == 1) return;
    left = deadline - MonotonicUs();
    if (left <= 0) return;
  }
}

void Rouse() {
  brae_wait_rouse();
}

}  // namespace tk::web
