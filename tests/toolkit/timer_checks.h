// Checks every runtime must pass, whatever loop runs its calls and timers: the Qt-free loop, Qt's and the
// Win32 message loop. Each runtime's test gives the way its loop runs until a condition holds.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "toolkit/Clock.h"
#include "toolkit/QueuedRuntime.h"

namespace timer_checks {

// Runs the runtime's loop until the condition holds or about `ms` milliseconds have passed.
using RunUntil = std::function<void(const std::function<bool()>&, int64_t ms)>;

// `timer`, started, fires again and again, never before a whole number of `periodUs` has passed since it
// started, on the monotonic clock. No upper bound: a busy machine may be late.
inline void ExpectFiringsNeverEarly(tk::Timer& timer, int64_t periodUs, const RunUntil& runUntil) {
  timer.SetEnabled(false);
  std::vector<int64_t> fired;
  timer.SetOnTimer([&] { fired.push_back(tk::MonotonicUs()); });
  const int64_t start = tk::MonotonicUs();
  timer.SetEnabled(true);
  runUntil([&] { return fired.size() >= 4; }, 30000);
  ASSERT_EQ(4u, fired.size());
  for (size_t k = 0; k < fired.size(); ++k) {
    EXPECT_GE(fired[k] - start, static_cast<int64_t>(k + 1) * periodUs) << "firing " << k + 1;
    // Each period counts from the firing before it (less the moment between the timer's reading and ours).
    if (k > 0) {
      EXPECT_GE(fired[k] - fired[k - 1], periodUs - 1000) << "firing " << k + 1;
    }
  }
}

// A timer fires on the loop's thread; then Shutdown releases a thread waiting in Synchronize.
inline void ExpectTimerFiresAndShutdownReleasesWaiters(tk::QueuedRuntime& rt, const RunUntil& runUntil) {
  auto timer = rt.NewTimer();
  timer->SetInterval(20);
  int fired = 0;
  timer->SetOnTimer([&] { ++fired; });
  runUntil([&] { return fired >= 2; }, 5000);
  EXPECT_GE(fired, 2);
  timer->SetEnabled(false);

  std::atomic<bool> released{false};
  std::thread worker([&] { released = !rt.Synchronize([] {}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  rt.Shutdown();
  worker.join();
  EXPECT_TRUE(released);
}

}  // namespace timer_checks
