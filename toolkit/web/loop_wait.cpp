// The single-threaded loop's wait in the page: the browser's own (toolkit/web/BrowserWait.h). The page's
// serial layer rouses it for everything that arrives, so a watching worker needs no polling; the interval
// is only a safety net for an arrival that no event announced.
#include "toolkit/loop/LoopWait.h"
#include "toolkit/web/BrowserWait.h"

namespace tk::loop {

void WaitRoused(int64_t ms) {
  web::WaitRoused(static_cast<uint32_t>(ms < 0 ? 0 : ms));
}

void Rouse() {
  web::Rouse();
}

int64_t PollIntervalMs() {
  return 100;
}

}  // namespace tk::loop
