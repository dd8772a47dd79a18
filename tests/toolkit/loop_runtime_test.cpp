#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "toolkit/Sync.h"
#include "toolkit/loop/LoopRuntime.h"

namespace {

struct RuntimeFixture : ::testing::Test {
  RuntimeFixture() { tk::Install(&rt); }
  ~RuntimeFixture() override { tk::Install(nullptr); }
  tk::LoopRuntime rt{tk::LoopRuntime::Clock::Virtual};
};

using TimerTest = RuntimeFixture;

TEST_F(TimerTest, DefaultsAreEnabledOneSecondAndFirePeriodically) {
  auto t = rt.NewTimer();
  EXPECT_TRUE(t->Enabled());
  EXPECT_EQ(1000u, t->Interval());
  std::vector<int64_t> fired;
  t->SetOnTimer([&] { fired.push_back(rt.VirtualMs()); });
  rt.Advance(3500);
  EXPECT_EQ((std::vector<int64_t>{1000, 2000, 3000}), fired);
}

TEST_F(TimerTest, UnchangedValuesDoNotRestartThePeriod) {
  auto t = rt.NewTimer();
  int count = 0;
  t->SetOnTimer([&] { ++count; });
  rt.Advance(600);
  t->SetInterval(1000);  // same value: the running period goes on
  t->SetEnabled(true);
  rt.Advance(400);
  EXPECT_EQ(1, count);
}

TEST_F(TimerTest, EnablingAndChangingIntervalStartAFullPeriod) {
  auto t = rt.NewTimer();
  int count = 0;
  t->SetOnTimer([&] { ++count; });
  rt.Advance(900);
  t->SetEnabled(false);
  rt.Advance(5000);
  EXPECT_EQ(0, count);
  t->SetEnabled(true);
  rt.Advance(999);
  EXPECT_EQ(0, count);
  rt.Advance(1);
  EXPECT_EQ(1, count);
  rt.Advance(500);
  t->SetInterval(300);  // a new interval counts from now
  rt.Advance(299);
  EXPECT_EQ(1, count);
  rt.Advance(1);
  EXPECT_EQ(2, count);
}

TEST_F(TimerTest, HandlerMayDisableItsOwnTimerAndTimersFireInDeadlineOrder) {
  auto a = rt.NewTimer();
  auto b = rt.NewTimer();
  std::vector<char> order;
  a->SetInterval(300);
  b->SetInterval(200);
  a->SetOnTimer([&] {
    order.push_back('a');
    a->SetEnabled(false);
  });
  b->SetOnTimer([&] { order.push_back('b'); });
  rt.Advance(700);
  EXPECT_EQ((std::vector<char>{'b', 'a', 'b', 'b'}), order);
  EXPECT_EQ(1, rt.ArmedTimers());
  b.reset();
  EXPECT_EQ(0, rt.ArmedTimers());
}

TEST_F(TimerTest, TimerWithoutHandlerOrIntervalIsNotArmed) {
  auto t = rt.NewTimer();
  EXPECT_EQ(0, rt.ArmedTimers());
  t->SetOnTimer([] {});
  EXPECT_EQ(1, rt.ArmedTimers());
  t->SetInterval(0);
  EXPECT_EQ(0, rt.ArmedTimers());
}

using ClockTest = RuntimeFixture;

TEST_F(ClockTest, VirtualClockMovesOnlyWhenAdvanced) {
  const uint32_t tick = rt.TickCount();
  const double now = rt.Now();
  rt.ProcessMessages();
  EXPECT_EQ(tick, rt.TickCount());
  rt.Advance(1016);
  EXPECT_EQ(tick + 1016, rt.TickCount());
  EXPECT_EQ(1016, std::llround((rt.Now() - now) * 86400000.0));
}

TEST_F(ClockTest, TickCountWrapsAt32Bits) {
  rt.SetVirtualClock(0xFFFFFFF0u, 46364.5);
  rt.Advance(0x20);
  EXPECT_EQ(0x10u, rt.TickCount());
}

TEST(DateTime, DaysSince18991230WithMilliseconds) {
  EXPECT_DOUBLE_EQ(25569.0, tk::DateTimeFromUnixMs(0, 0));
  EXPECT_DOUBLE_EQ(25569.5, tk::DateTimeFromUnixMs(43200000, 0));
  // One hour east of UTC shifts the local time forward.
  EXPECT_DOUBLE_EQ(25569.0 + 1.0 / 24.0, tk::DateTimeFromUnixMs(0, 3600000));
  // Before 1970 the fraction is still the time of day.
  EXPECT_DOUBLE_EQ(25568.75, tk::DateTimeFromUnixMs(-21600000, 0));
  const double t = tk::DateTimeFromUnixMs(1796724000123, 0);
  EXPECT_EQ(123, std::llround(t * 86400000.0) % 1000);
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

TEST(DateTime, LocalNowAgreesWithTheSystemsLocalTime) {
  const time_t secs = time(nullptr);
  tm local{};
#if defined(_WIN32)
  localtime_s(&local, &secs);
#else
  localtime_r(&secs, &local);
#endif
  // The system's local calendar and clock, counted from 1899-12-30 directly.
  const double expected =
      static_cast<double>(DaysFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) + 25569) +
      (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) / 86400.0;
  for (int i = 0; i < 3; ++i) {  // the first call looks the offset up, the later ones reuse it
    EXPECT_NEAR(expected, tk::LocalDateTimeNow(), 2.0 / 86400.0);
  }
}

using SynchronizeTest = RuntimeFixture;

TEST_F(SynchronizeTest, RunsOnTheUiThreadAndWaits) {
  const auto ui = std::this_thread::get_id();
  std::atomic<bool> returned{false};
  std::thread::id ranOn;
  std::thread worker([&] {
    EXPECT_TRUE(rt.Synchronize([&] { ranOn = std::this_thread::get_id(); }));
    returned = true;
  });
  EXPECT_TRUE(rt.RunUntil([&] { return returned.load(); }, 5000));
  worker.join();
  EXPECT_EQ(ui, ranOn);
}

TEST_F(SynchronizeTest, OnTheUiThreadRunsAtOnce) {
  bool ran = false;
  EXPECT_TRUE(rt.Synchronize([&] { ran = true; }));
  EXPECT_TRUE(ran);
}

TEST_F(SynchronizeTest, ExceptionReachesTheCaller) {
  std::atomic<bool> caught{false};
  std::thread worker([&] {
    try {
      rt.Synchronize([] { throw std::runtime_error("boom"); });
    } catch (const std::runtime_error&) {
      caught = true;
    }
  });
  rt.RunUntil([&] { return caught.load(); }, 5000);
  worker.join();
  EXPECT_TRUE(caught);
}

TEST_F(SynchronizeTest, ShutdownReleasesWaitersWithoutRunningThem) {
  std::atomic<int> results{0};
  std::atomic<bool> ran{false};
  std::vector<std::thread> workers;
  for (int i = 0; i < 4; ++i) {
    workers.emplace_back([&] {
      if (!rt.Synchronize([&] { ran = true; })) ++results;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  rt.Shutdown();
  for (auto& w : workers) w.join();
  EXPECT_EQ(4, results);
  EXPECT_FALSE(ran);
  // A worker that comes after the shutdown is turned away at once.
  bool late = true;
  std::thread lateWorker([&] { late = rt.Synchronize([&] { ran = true; }); });
  lateWorker.join();
  EXPECT_FALSE(late);
  EXPECT_FALSE(ran);
}

// The end of a program: the runtime goes while workers still wait in Synchronize. They leave before its
// queue's lock is gone (the sanitizers see a worker waking on freed memory).
TEST(SynchronizeEnd, DestroyingTheRuntimeReleasesWaitersFirst) {
  auto rt = std::make_unique<tk::LoopRuntime>();
  tk::LoopRuntime* queue = rt.get();
  std::atomic<int> entered{0}, released{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < 8; ++i) {
    workers.emplace_back([&] {
      ++entered;
      released += queue->Synchronize([] {}) ? 0 : 1;
    });
  }
  while (entered < 8) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  rt.reset();
  for (auto& w : workers) w.join();
  EXPECT_EQ(8, released);
}
TEST_F(SynchronizeTest, AutoAdvanceLetsClockWaitersFinish) {
  rt.SetAutoAdvance(1);
  const uint32_t start = rt.TickCount();
  while (rt.TickCount() - start < 20) rt.ProcessMessages();
  EXPECT_EQ(start + 20, rt.TickCount());
}

// On the virtual clock a wait moves time only as the test lets it: by the auto-advance step, or not at all,
// when it waits for a handed-over call on the real clock instead.
TEST_F(SynchronizeTest, WaitMessagesOnTheVirtualClock) {
  struct Row {
    uint32_t autoAdvance;
    int64_t moves;
  };
  for (const Row row : {Row{0, 0}, Row{3, 3}}) {
    SCOPED_TRACE(row.autoAdvance);
    rt.SetAutoAdvance(row.autoAdvance);
    std::atomic<bool> ran{false};
    std::thread worker([&] { rt.Synchronize([&] { ran = true; }); });
    const int64_t before = rt.VirtualMs();
    const int64_t startUs = tk::MonotonicUs();
    while (!ran && tk::MonotonicUs() - startUs < 5000000) {
      const int64_t was = rt.VirtualMs();
      rt.WaitMessages(1000);
      EXPECT_EQ(was + row.moves, rt.VirtualMs());
    }
    worker.join();
    EXPECT_TRUE(ran);
    if (row.autoAdvance == 0) {
      EXPECT_EQ(before, rt.VirtualMs());
    }
  }
}

TEST(EventTest, ManualResetStaysSetUntilReset) {
  tk::Event e;
  EXPECT_FALSE(e.Wait(10));
  e.Set();
  EXPECT_TRUE(e.Wait(0));
  EXPECT_TRUE(e.Wait(tk::kInfinite));
  e.Reset();
  EXPECT_FALSE(e.IsSet());
  std::thread t([&] { e.Set(); });
  EXPECT_TRUE(e.Wait(5000));
  t.join();
}

class CountingThread : public tk::Thread {
 public:
  explicit CountingThread(std::atomic<int>* loops) : loops_(loops) {}
  ~CountingThread() override {
    Terminate();
    WaitFor();
  }

 protected:
  void Execute() override {
    while (!Terminated()) {
      ++*loops_;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

 private:
  std::atomic<int>* loops_;
};

class SelfFreeingThread : public tk::Thread {
 public:
  explicit SelfFreeingThread(std::atomic<bool>* destroyed) : destroyed_(destroyed) {
    SetFreeOnTerminate(true);
  }
  ~SelfFreeingThread() override { *destroyed_ = true; }

 protected:
  void Execute() override { gate.Wait(); }

 public:
  tk::Event gate;

 private:
  std::atomic<bool>* destroyed_;
};

TEST(ThreadTest, TerminateEndsExecuteAndFreeOnTerminateDeletesItself) {
  std::atomic<int> loops{0};
  {
    CountingThread t(&loops);
    t.StartThread();
    while (loops < 3) std::this_thread::yield();
  }
  std::atomic<bool> destroyed{false};
  auto* t = new SelfFreeingThread(&destroyed);
  t->StartThread(tk::Priority::Higher);
  EXPECT_FALSE(tk::Thread::WaitForDetachedThreads(20));
  t->gate.Set();
  EXPECT_TRUE(tk::Thread::WaitForDetachedThreads(5000));
  EXPECT_TRUE(destroyed);
}

// On one thread, workers take turns on the loop: on the UI thread, never nested, until terminated; then
// Ended runs once and a free-on-terminate worker deletes itself; a turn that throws ends only its worker.
class TurnThread : public tk::Thread {
 public:
  enum class Does { Count, RunLoop, Throw };
  TurnThread(Does does, std::vector<std::string>* log) : does_(does), log_(log) { SetFreeOnTerminate(true); }
  ~TurnThread() override { log_->push_back("deleted"); }

 protected:
  void Execute() override { log_->push_back("a thread of its own"); }
  bool Turn() override {
    log_->push_back(depth_++ == 0 && tk::App().InUiThread() ? "turn" : "nested or off the UI thread");
    if (does_ == Does::Throw) throw std::runtime_error("turn failed");
    if (does_ == Does::RunLoop) tk::App().ProcessMessages();
    if (++turns_ == 3) Terminate();
    --depth_;
    return true;
  }
  void LoopEnded() override { log_->push_back("ended"); }

 private:
  Does does_;
  std::vector<std::string>* log_;
  int turns_ = 0;
  int depth_ = 0;
};

TEST(SingleThreaded, WorkersTakeTurnsOnTheLoopUntilTerminated) {
  using Log = std::vector<std::string>;
  const Log three = {"turn", "turn", "turn", "ended", "deleted"};
  const struct {
    TurnThread::Does does;
    Log log;
  } rows[] = {{TurnThread::Does::Count, three},
              {TurnThread::Does::RunLoop, three},
              {TurnThread::Does::Throw, {"turn", "ended", "deleted"}}};
  for (const auto& row : rows) {
    tk::LoopRuntime rt(tk::LoopRuntime::Clock::Virtual, tk::LoopRuntime::Threads::Single);
    tk::Install(&rt);
    Log log;
    (new TurnThread(row.does, &log))->StartThread();
    for (int i = 0; i < 10 && tk::Thread::HasTurns(); ++i) rt.WaitMessages(0);
    EXPECT_FALSE(tk::Thread::HasTurns());
    EXPECT_EQ(row.log, log);
    tk::Install(nullptr);
  }
}

}  // namespace
