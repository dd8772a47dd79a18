#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <atomic>
#include <thread>

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

TEST_F(QtRuntimeTest, NowIsLocalDaysSince18991230) {
  const double now = rt.Now();
  EXPECT_GT(now, 45000.0);  // after 2023
  EXPECT_LT(now, 80000.0);
}

}  // namespace
