// The runtime on a Win32 message loop, under the same checks as the Qt runtime, plus what the message loop
// itself brings: WM_QUIT ends Run and releases the waiting threads, and a destroyed timer never fires.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "toolkit/win32/Text.h"
#include "toolkit/win32/Win32Runtime.h"

namespace {

struct Win32RuntimeTest : ::testing::Test {
  Win32RuntimeTest() { tk::Install(&rt); }
  ~Win32RuntimeTest() override { tk::Install(nullptr); }
  void Pump(const std::function<bool()>& pred, int64_t ms) {
    const int64_t end = tk::MonotonicUs() + ms * 1000;
    while (!pred() && tk::MonotonicUs() < end) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
      rt.ProcessMessages();
    }
  }
  tk::Win32Runtime rt;
};

TEST_F(Win32RuntimeTest, SynchronizeRunsOnUiThread) {
  std::atomic<bool> done{false};
  std::thread::id ranOn;
  std::thread worker([&] {
    EXPECT_TRUE(rt.Synchronize([&] { ranOn = std::this_thread::get_id(); }));
    done = true;
  });
  Pump([&] { return done.load(); }, 5000);
  worker.join();
  EXPECT_EQ(std::this_thread::get_id(), ranOn);
  EXPECT_TRUE(rt.InUiThread());
}

TEST_F(Win32RuntimeTest, TimerFiresOnUiThreadAndShutdownReleasesWaiters) {
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

TEST_F(Win32RuntimeTest, QuitEndsRunWithItsCodeAndLaterCallsAreRefused) {
  std::atomic<int> ran{0};
  std::thread worker([&] {
    EXPECT_TRUE(rt.Synchronize([&] {
      ++ran;
      PostQuitMessage(7);
    }));
  });
  EXPECT_EQ(7, rt.Run());
  worker.join();
  // The loop has ended: a call must neither hang nor run.
  std::atomic<bool> refused{false};
  std::thread late([&] { refused = !rt.Synchronize([&] { ++ran; }); });
  late.join();
  EXPECT_TRUE(refused);
  EXPECT_EQ(1, ran.load());
}

TEST_F(Win32RuntimeTest, ATimerDestroyedWithItsMessageDueNeverFires) {
  int fired = 0;
  auto timer = rt.NewTimer();
  timer->SetInterval(10);
  timer->SetOnTimer([&] { ++fired; });
  Sleep(100);  // the system has its message ready by now
  timer.reset();
  auto other = rt.NewTimer();  // may even take the freed address
  other->SetEnabled(false);
  Pump([] { return false; }, 100);
  EXPECT_EQ(0, fired);
}

// The system's timers come on their tick; the runtime's never before the interval. Checked on the monotonic
// clock over several firings of a 200 ms timer, with no upper bound (a busy machine may be late).
TEST_F(Win32RuntimeTest, TimerNeverFiresEarly) {
  auto timer = rt.NewTimer();
  timer->SetEnabled(false);
  timer->SetInterval(200);
  std::vector<int64_t> fired;
  timer->SetOnTimer([&] { fired.push_back(tk::MonotonicUs()); });
  const int64_t start = tk::MonotonicUs();
  timer->SetEnabled(true);
  Pump([&] { return fired.size() >= 4; }, 30000);
  ASSERT_EQ(4u, fired.size());
  for (size_t k = 0; k < fired.size(); ++k) {
    EXPECT_GE(fired[k] - start, static_cast<int64_t>(k + 1) * 200000) << "firing " << k + 1;
    if (k > 0) {
      EXPECT_GE(fired[k] - fired[k - 1], 199000) << "firing " << k + 1;
    }
  }
}

TEST_F(Win32RuntimeTest, MessageBoxesGoToThePresentationsHandler) {
  std::string seen;
  rt.SetMessageBoxHandler(
      [&](const std::string& text, const std::string& caption) { seen = caption + ": " + text; });
  rt.MessageBox("Can not open firmware file", "Update Message");
  EXPECT_EQ("Update Message: Can not open firmware file", seen);
  const double now = rt.Now();
  EXPECT_GT(now, 45000.0);  // after 2023
  EXPECT_LT(now, 80000.0);
}

}  // namespace
