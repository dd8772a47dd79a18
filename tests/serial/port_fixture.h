// The serial component's test bench on Linux: a port whose reports are recorded, on a loop runtime that the
// test pumps, opened on a pseudo-terminal whose master plays the far side.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "serial/SerialPort.h"
#include "tests/support/pty.h"
#include "toolkit/loop/LoopRuntime.h"

namespace serial_test {

inline int OpenFdCount() {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// Counts the calls other threads hand to the UI thread, so a test can tell that the monitor did deliver.
class CountingRuntime : public tk::LoopRuntime {
 public:
  using LoopRuntime::LoopRuntime;
  bool Synchronize(const tk::Method& fn) override {
    if (!InUiThread()) ++handOvers;
    return LoopRuntime::Synchronize(fn);
  }
  std::atomic<int> handOvers{0};
};

struct PortTest : ::testing::Test {
  PortTest() {
    tk::Install(&rt);
    port.OnError = [this](serial::TCustomComm* sender, int code) {
      EXPECT_EQ(&port, sender);
      errors.push_back(code);
    };
  }
  ~PortTest() override {
    pty_.reset();  // gone before the close, as a test's own would be
    port.Close();
    // Every monitor must have ended: no thread outlives its port. A monitor may be waiting for the UI thread
    // to take its last event, so keep the loop running meanwhile.
    EXPECT_TRUE(AllMonitorsEnded());
    tk::Install(nullptr);
  }
  bool Pump(const std::function<bool()>& until, uint32_t ms = 3000) { return rt.RunUntil(until, ms); }
  bool AllMonitorsEnded() {
    return Pump([] { return tk::Thread::WaitForDetachedThreads(0); }, 5000);
  }
  // Waits (without running the loop) until pred holds, at most 3 s.
  static bool WaitFor(const std::function<bool()>& pred) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  void OpenOn(const testing_support::Pty& pty) {
    ASSERT_TRUE(pty.ok());
    port.SetDeviceName(pty.path());
    port.Open();
    ASSERT_TRUE(port.Connected());
  }
  // Opens the port on a new pseudo-terminal, the far side until the test ends.
  testing_support::Pty& OpenOnNewPty() {
    pty_ = std::make_unique<testing_support::Pty>();
    OpenOn(*pty_);
    return *pty_;
  }

  CountingRuntime rt{tk::LoopRuntime::Clock::Virtual};
  serial::TSerialPort port;
  std::vector<int> errors;

 private:
  std::unique_ptr<testing_support::Pty> pty_;
};

}  // namespace serial_test
