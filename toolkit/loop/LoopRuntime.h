// A small event loop that implements the toolkit runtime without a windowing system. With the virtual clock
// (tests) time moves only when the UI thread advances it, and timers fire in deadline order as it moves; with
// the real clock it runs on the monotonic counter and local time. The UI thread is the thread that created
// the runtime; only it may run the loop, create timers or move the clock.
//
// With Threads::Single it is also the only thread: worker threads take turns on the loop (as they must in a
// browser), and the loop's wait is the platform's (toolkit/loop/LoopWait.h), which a browser's events end.
// The engine's tests run on both kinds.
#pragma once

#include <functional>
#include <map>
#include <memory>

#include "toolkit/QueuedRuntime.h"

namespace tk {

class LoopRuntime : public QueuedRuntime {
 public:
  enum class Clock { Real, Virtual };
  enum class Threads { Own, Single };

  explicit LoopRuntime(Clock clock = Clock::Virtual, Threads threads = Threads::Own);
  ~LoopRuntime() override;

  bool SingleThreaded() const override { return threads_ == Threads::Single; }
  void ProcessMessages() override;
  // Real clock: waits for a queued call or the next timer's moment, at most ms. Virtual clock: time moves
  // only as the test moves it, so with auto-advance this is ProcessMessages (the clock moves by its step),
  // and without it the wait is for a queued call only, at most ms of real time (the clock stands still).
  void WaitMessages(uint32_t ms) override;
  uint32_t TickCount() const override;
  double Now() const override;
  std::unique_ptr<Timer> NewTimer() override;

  // Virtual clock (UI thread): move time forward by ms, firing every timer that falls due on the way at its
  // own moment, and running queued calls between them.
  void Advance(uint32_t ms);
  // Virtual clock: each ProcessMessages call moves time by ms (so that code which waits for the clock while
  // processing messages, such as a delay loop, comes to an end).
  void SetAutoAdvance(uint32_t ms) { autoAdvanceMs_ = ms; }
  // Virtual clock: set the counter and the local date-time that correspond to the current moment.
  void SetVirtualClock(uint32_t tick, double dateTime);
  int64_t VirtualMs() const { return nowMs_; }

  // Runs the loop (queued calls; with the real clock also timers) until pred holds or realTimeoutMs of real
  // time have passed. Returns pred's last value.
  bool RunUntil(const std::function<bool()>& pred, uint32_t realTimeoutMs);
  // Runs the loop for ms of real time.
  void RunFor(uint32_t ms);

  // How many timers are armed now (tests use it to check that nothing is left running).
  int ArmedTimers() const;
  // Earliest deadline among the armed timers in clock ms, or -1.
  int64_t NextDeadline() const;

 private:
  class LoopTimer;

  int64_t ClockMs() const { return ClockUs() / 1000; }
  // Queued calls and, single-threaded, the workers' turns; true when anything ran.
  bool RunPending();
  // Waits up to ms for work.
  void Idle(int64_t ms);
  int64_t ClockUs() const;
  bool FireDueTimers(int64_t upTo);
  void Schedule(LoopTimer* t, int64_t deadline);
  void Unschedule(LoopTimer* t);

  Clock clock_;
  Threads threads_;

  // Timers (UI thread only): deadline -> timer, plus a sequence number to keep equal deadlines in arming
  // order.
  std::multimap<std::pair<int64_t, uint64_t>, LoopTimer*> schedule_;
  uint64_t seq_ = 0;

  int64_t nowMs_ = 0;  // virtual clock
  uint32_t tickBase_ = 0x00100000u;
  double dateBase_ = 0;
  uint32_t autoAdvanceMs_ = 0;
  int64_t realBaseUs_ = 0;
};

}  // namespace tk
