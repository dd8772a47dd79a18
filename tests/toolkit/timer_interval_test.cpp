// Timers never fire before their full interval: the rule every runtime shares (checked on a clock the test
// moves), and the Qt-free loop on the real monotonic clock.
#include <gtest/gtest.h>

#include <vector>

#include "tests/toolkit/timer_checks.h"
#include "toolkit/loop/LoopRuntime.h"

namespace {

// A timer whose clock and wake-ups the test drives, standing for a runtime whose system timer may come early
// or late.
class ScriptedTimer : public tk::Timer {
 public:
  void Arm(uint32_t ms) override { arms.push_back(ms); }
  void Disarm() override { ++disarms; }
  int64_t ClockUs() const override { return nowUs; }
  // The system's wake-up comes at `us` on the clock.
  void WakeAt(int64_t us) {
    nowUs = us;
    Expired();
  }

  int64_t nowUs = 0;
  std::vector<uint32_t> arms;
  int disarms = 0;
};

TEST(TimerRule, AnEarlyWakeUpWaitsForTheRestAndALateOneCountsTheNextPeriodFromItself) {
  struct Case {
    const char* what;
    uint32_t interval;
    std::vector<int64_t> wakeUps;  // µs after the timer was started
    std::vector<int64_t> fired;    // when the handler ran
    std::vector<uint32_t> arms;    // what was asked of the system, the start included
  };
  const Case cases[] = {
      {"5% early, as a coarse timer may", 1000, {950000, 1000000}, {1000000}, {1000, 50, 1000}},
      {"a fraction of a millisecond early rounds up", 1000, {999001, 1000000}, {1000000}, {1000, 1, 1000}},
      {"just early", 1000, {999999}, {}, {1000, 1}},
      {"exactly on time", 1000, {1000000, 2000000}, {1000000, 2000000}, {1000, 1000, 1000}},
      {"a lost Z's six seconds, woken 266 ms early", 6000, {5734000, 6000000}, {6000000}, {6000, 266, 6000}},
      {"late: the next period counts from the late firing",
       1000,
       {1200000, 2100000, 2200000},
       {1200000, 2200000},
       {1000, 1000, 100, 1000}},
      {"early twice in a row", 30000, {28500000, 29925000, 30000000}, {30000000}, {30000, 1500, 75, 30000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedTimer t;
    std::vector<int64_t> fired;
    t.SetEnabled(false);
    t.SetInterval(c.interval);
    t.SetOnTimer([&] { fired.push_back(t.nowUs); });
    t.arms.clear();
    t.SetEnabled(true);
    for (int64_t at : c.wakeUps) t.WakeAt(at);
    EXPECT_EQ(c.fired, fired);
    EXPECT_EQ(c.arms, t.arms);
  }
}

TEST(TimerRule, AWakeUpThatComesAfterTheTimerStoppedDoesNothing) {
  ScriptedTimer t;
  int fired = 0;
  t.SetOnTimer([&] { ++fired; });
  t.SetEnabled(false);
  t.arms.clear();
  t.WakeAt(5000000);
  t.SetEnabled(true);
  t.SetOnTimer(nullptr);
  t.WakeAt(9000000);
  EXPECT_EQ(0, fired);
  EXPECT_EQ((std::vector<uint32_t>{1000}), t.arms);  // only the re-enabling asked for a wake-up
}

TEST(TimerRule, RestartingWithinAPeriodStartsAFullOneFromTheRestart) {
  ScriptedTimer t;
  std::vector<int64_t> fired;
  t.SetOnTimer([&] { fired.push_back(t.nowUs); });  // starts at 0
  t.nowUs = 700000;
  t.SetInterval(500);  // restarts at 0.7 s: due at 1.2 s, not at 0.5 s
  t.WakeAt(1000000);   // the first period's wake-up, had it not been cancelled
  t.WakeAt(1200000);
  EXPECT_EQ((std::vector<int64_t>{1200000}), fired);
}

// On the real clock: a one-second timer of the Qt-free loop fires again and again, never before a whole
// number of seconds has passed since it started. No upper bound: a busy machine may be late.
TEST(RealClockTimers, LoopRuntimeOneSecondTimerNeverFiresEarly) {
  tk::LoopRuntime rt{tk::LoopRuntime::Clock::Real};
  tk::Install(&rt);
  auto timer = rt.NewTimer();
  timer_checks::ExpectFiringsNeverEarly(*timer, 1000000, [&](const std::function<bool()>& done, int64_t ms) {
    rt.RunUntil(done, static_cast<uint32_t>(ms));
  });
  timer.reset();
  tk::Install(nullptr);
}

TEST(RealClockTimers, LoopRuntimeWaitMessagesSleepsUntilWorkArrives) {
  tk::LoopRuntime rt{tk::LoopRuntime::Clock::Real};
  tk::Install(&rt);
  timer_checks::ExpectWaitMessagesSleepsUntilWorkArrives(rt);
  tk::Install(nullptr);
}

}  // namespace
