// The simulator's event loop: the device on its line until the update is done, time is up or a signal
// comes.
#pragma once

#include "options.h"
#include "transcript.h"

namespace sim {

// The exit code: 0 an image was confirmed, 1 none was, 3 the line or a file failed.
int run_simulator(const Options& o, Transcript& log);
// A signal handler: the loop stops at its next turn and logs the signal.
void request_stop(int sig);

}  // namespace sim
