// Checks every runtime must pass, whatever loop runs its calls and timers: the Qt-free loop, Qt's and the
// Win32 message loop. Each runtime's test gives the way its loop runs until a condition holds.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
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

// WaitMessages blocks until something arrives for the UI thread, runs it and returns; with nothing to run it
// sleeps out its time instead of spinning. Each row names what arrives during a long wait. The bounds are
// generous: a busy machine may be late, but a wait that ignores its work ends only after the whole 5 s, and
// one that spins comes back thousands of times in 300 ms.
inline void ExpectWaitMessagesSleepsUntilWorkArrives(tk::QueuedRuntime& rt) {
  enum class Arrives { Nothing, CallFromAnotherThread, TimerFallingDue };
  struct Row {
    const char* name;
    Arrives what;
  };
  const Row rows[] = {
      {"nothing: the wait sleeps out its time", Arrives::Nothing},
      {"a call handed over by another thread", Arrives::CallFromAnotherThread},
      {"a timer falling due", Arrives::TimerFallingDue},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::atomic<bool> ran{false};
    std::thread worker;
    std::unique_ptr<tk::Timer> timer;
    if (row.what == Arrives::CallFromAnotherThread) {
      worker = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        rt.Synchronize([&] { ran = true; });
      });
    } else if (row.what == Arrives::TimerFallingDue) {
      timer = rt.NewTimer();
      timer->SetInterval(50);
      timer->SetOnTimer([&] {
        ran = true;
        timer->SetEnabled(false);
      });
    }
    const int64_t start = tk::MonotonicUs();
    if (row.what == Arrives::Nothing) {
      int waits = 0;
      while (tk::MonotonicUs() - start < 300000) {
        rt.WaitMessages(100);
        ++waits;
      }
      EXPECT_LE(waits, 30);
      continue;
    }
    // A wake-up that is not the work itself (a coarse timer's early one) may end a wait with nothing run.
    while (!ran && tk::MonotonicUs() - start < 5000000) rt.WaitMessages(5000);
    const int64_t tookMs = (tk::MonotonicUs() - start) / 1000;
    EXPECT_TRUE(ran);
    EXPECT_LT(tookMs, 2000);
    EXPECT_GE(tookMs, 40);
    if (worker.joinable()) worker.join();
  }
}

}  // namespace timer_checks
