#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <atomic>
#include <thread>
#include <vector>

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
  auto timer = rt.NewTimer();
  timer->SetInterval(20);
  int fired = 0;
  timer->SetOnTimer([&] { ++fired; });
  Pump([&] { return fired >= 2; }, 5000);
  EXPECT_GE(fired, 2);
  timer->SetEnabled(false);

  std::atomic<bool> released{false};
  std::thread worker([&] { released = !rt.Synchronize([] {}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  rt.Shutdown();
  worker.join();
  EXPECT_TRUE(released);
}

// Qt's default timers may come up to 5% early; the runtime's never do. Checked on the monotonic clock over
// several firings of a one-second timer, with no upper bound (a busy machine may be late).
TEST_F(QtRuntimeTest, OneSecondTimerNeverFiresEarly) {
  auto timer = rt.NewTimer();
  timer->SetEnabled(false);
  std::vector<int64_t> fired;
  timer->SetOnTimer([&] { fired.push_back(tk::MonotonicUs()); });
  const int64_t start = tk::MonotonicUs();
  timer->SetEnabled(true);
  QElapsedTimer limit;
  limit.start();
  while (fired.size() < 4 && limit.elapsed() < 30000)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  ASSERT_EQ(4u, fired.size());
  for (size_t k = 0; k < fired.size(); ++k) {
    EXPECT_GE(fired[k] - start, static_cast<int64_t>(k + 1) * 1000000) << "firing " << k + 1;
    // Each period counts from the firing before it (less the moment between the timer's reading and ours).
    if (k > 0) {
      EXPECT_GE(fired[k] - fired[k - 1], 999000) << "firing " << k + 1;
    }
  }
}

TEST_F(QtRuntimeTest, NowIsLocalDaysSince18991230) {
  const double now = rt.Now();
  EXPECT_GT(now, 45000.0);  // after 2023
  EXPECT_LT(now, 80000.0);
}

}  // namespace
