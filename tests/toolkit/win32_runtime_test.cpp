// The runtime on a Win32 message loop, under the same checks as the Qt runtime, plus what the message loop
// itself brings: WM_QUIT ends Run and releases the waiting threads, and a destroyed timer never fires.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/toolkit/timer_checks.h"
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
  timer_checks::RunUntil Loop() {
    return [this](const std::function<bool()>& pred, int64_t ms) { Pump(pred, ms); };
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
  timer_checks::ExpectTimerFiresAndShutdownReleasesWaiters(rt, Loop());
}

TEST_F(Win32RuntimeTest, WaitMessagesSleepsUntilWorkArrives) {
  timer_checks::ExpectWaitMessagesSleepsUntilWorkArrives(rt);
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
  timer->SetInterval(200);
  timer_checks::ExpectFiringsNeverEarly(*timer, 200000, Loop());
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
