#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <atomic>
#include <thread>
#include <vector>

#include "tests/toolkit/timer_checks.h"
#include "toolkit/qt/QtRuntime.h"

namespace {

struct QtRuntimeTest : ::testing::Test {
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "qt_runtime_test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) app = new QCoreApplication(argc, argv);
  }
  QtRuntimeTest() { tk::Install(&rt); }
  ~QtRuntimeTest() override { tk::Install(nullptr); }
  void Pump(const std::function<bool()>& pred, int ms) {
    QElapsedTimer t;
    t.start();
    while (!pred() && t.elapsed() < ms) rt.ProcessMessages();
  }
  timer_checks::RunUntil Loop() {
    return [this](const std::function<bool()>& pred, int64_t ms) { Pump(pred, static_cast<int>(ms)); };
  }
  static QCoreApplication* app;
  tk::QtRuntime rt;
};
QCoreApplication* QtRuntimeTest::app = nullptr;

TEST_F(QtRuntimeTest, SynchronizeRunsOnUiThread) {
  std::atomic<bool> done{false};
  std::thread::id ranOn;
  std::thread worker([&] {
    EXPECT_TRUE(rt.Synchronize([&] { ranOn = std::this_thread::get_id(); }));
    done = true;
  });
  Pump([&] { return done.load(); }, 5000);
  worker.join();
  EXPECT_EQ(std::this_thread::get_id(), ranOn);
}

TEST_F(QtRuntimeTest, TimerFiresOnUiThreadAndShutdownReleasesWaiters) {
  timer_checks::ExpectTimerFiresAndShutdownReleasesWaiters(rt, Loop());
}

TEST_F(QtRuntimeTest, WaitMessagesSleepsUntilWorkArrives) {
  timer_checks::ExpectWaitMessagesSleepsUntilWorkArrives(rt);
}

// Qt's default timers may come up to 5% early; the runtime's never do. Checked on the monotonic clock over
// several firings of a one-second timer, with no upper bound (a busy machine may be late).
TEST_F(QtRuntimeTest, OneSecondTimerNeverFiresEarly) {
  auto timer = rt.NewTimer();
  timer_checks::ExpectFiringsNeverEarly(*timer, 1000000, [](const std::function<bool()>& done, int64_t ms) {
    QElapsedTimer limit;
    limit.start();
    while (!done() && limit.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  });
}

TEST_F(QtRuntimeTest, NowIsLocalDaysSince18991230) {
  const double now = rt.Now();
  EXPECT_GT(now, 45000.0);  // after 2023
  EXPECT_LT(now, 80000.0);
}

}  // namespace
