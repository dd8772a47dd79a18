// The engine's tests run twice: with the driver and the monitor on threads of their own, and (ctest's
// "single." tests, BRAE_TEST_THREADS=single) on one thread, as in a browser, where they take turns.
#pragma once

#include <cstdlib>
#include <cstring>

#include "toolkit/loop/LoopRuntime.h"

namespace engine_test {

inline tk::LoopRuntime::Threads TestThreads() {
  const char* v = std::getenv("BRAE_TEST_THREADS");
  return v && std::strcmp(v, "single") == 0 ? tk::LoopRuntime::Threads::Single
                                            : tk::LoopRuntime::Threads::Own;
}

}  // namespace engine_test
