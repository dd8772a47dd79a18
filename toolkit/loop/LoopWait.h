// The wait of a single-threaded loop, which only the platform can do: natively a sleep that Rouse ends early;
// in a browser a return to the browser's own loop (its events run meanwhile) until Rouse or the time is up.
#pragma once

#include <cstdint>

namespace tk::loop {

// Waits up to ms, or until Rouse is called (from the platform's event handlers). May return early.
void WaitRoused(int64_t ms);
// Ends the current or the next WaitRoused.
void Rouse();
// How often a worker that can only look (a native device with nobody to wake the loop) is given a turn.
int64_t PollIntervalMs();

}  // namespace tk::loop
