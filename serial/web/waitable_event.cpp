// The waitable event in the page: a flag (the one thread sets it), and a wait that gives control back to the
// browser meanwhile, in case code the page calls in the meantime sets it.
#include "serial/CommOs.h"
#include "toolkit/Clock.h"
#include "toolkit/web/BrowserWait.h"

namespace commos {

WaitableEvent::WaitableEvent() : native_(0) {}

WaitableEvent::~WaitableEvent() = default;

void WaitableEvent::Set() {
  native_ = 1;
  tk::web::Rouse();
}

void WaitableEvent::Reset() {
  native_ = 0;
}

bool WaitableEvent::IsSet() const {
  return native_ != 0;
}

bool WaitableEvent::Wait(int ms) const {
  const int64_t deadline = tk::MonotonicUs() / 1000 + (ms > 0 ? ms : 0);
  for (;;) {
    if (IsSet()) return true;
    const int64_t left = deadline - tk::MonotonicUs() / 1000;
    if (left <= 0) return false;
    tk::web::WaitRoused(static_cast<uint32_t>(left));
  }
}

}  // namespace commos
