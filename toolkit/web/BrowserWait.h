// The one wait of the single-threaded page: the program gives control back to the browser (Asyncify unwinds
// and later rewinds its stack), so the page's own events run meanwhile: bytes a port read, a write's end, a
// timer. Nothing else in the program may block.
#pragma once

#include <cstdint>

namespace tk::web {

// Returns once `ms` have passed on the monotonic clock (never earlier; later when the browser throttles a
// background tab's timers), or at once when something rouses the wait first: Rouse() from the program, or
// Module.braeRouse() from the page's JavaScript (which calls it whenever something arrives). A rouse that
// came while nobody waited ends the next wait at once, without a turn of the browser. ms = 0 gives the
// browser one turn.
void WaitRoused(uint32_t ms);
// Ends the wait in progress, or the next one.
void Rouse();

}  // namespace tk::web
