// Test bench for the update engine: a virtual-clock runtime, recording stand-ins for the windows, and ports
// that are real pseudo-terminals linked as $BRAE_PORT_DIR/comN.
#pragma once

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/SerialThreadDef.h"
#include "tests/engine/seam.h"
#include "tests/engine/threads.h"
#include "tests/support/pty.h"
#include "toolkit/loop/LoopRuntime.h"

namespace engine_test {

struct RecordingWindow : engine::IReporter {
  void AppendLogLine(const std::string& text) override { log.push_back(text); }
  void ApplyStatus(const std::string& text) override { status.push_back(text); }
  void SetProgressPosition(int p) override {
    positions.push_back(p);
    if (onPosition) onPosition(p);
  }
  void SetProgressMax(int m) override {
    maxima.push_back(m);
    if (onMax) onMax(m);
  }
  void SetProgressVisible(bool v) override { visible.push_back(v); }
  void PortAnswering(const std::string& name, const std::string& device, int baud) override {
    answering.push_back(name + " | " + device + " | " + std::to_string(baud));
  }
  std::vector<std::string> log, status;
  std::vector<std::string> answering;  // "name | device | baud"
  std::vector<int> positions, maxima;
  std::vector<bool> visible;
  // Optional: a test's look at the moment of each report.
  std::function<void(int)> onPosition, onMax;
};

struct RecordingDialog : engine::IErrorDialog {
  void ShowErrorMessage(uint32_t code) override { calls.push_back("show " + std::to_string(code)); }
  void Hide() override { calls.push_back("hide"); }
  std::vector<std::string> calls;
};

// A private port directory: ComN exists only where the test links a pty.
class PortDir {
 public:
  PortDir() {
    char tmpl[] = "/tmp/brae-ports-XXXXXX";
    dir_ = mkdtemp(tmpl);
    setenv("BRAE_PORT_DIR", dir_.c_str(), 1);
  }
  ~PortDir() {
    for (auto& [n, pty] : ptys_) unlink(Link(n).c_str());
    ptys_.clear();
    rmdir(dir_.c_str());
    unsetenv("BRAE_PORT_DIR");
  }
  testing_support::Pty& Add(int n) {
    auto& pty = ptys_[n];
    pty = std::make_unique<testing_support::Pty>();
    unlink(Link(n).c_str());
    EXPECT_EQ(0, symlink(pty->path().c_str(), Link(n).c_str()));
    return *pty;
  }
  std::string Link(int n) const { return dir_ + "/com" + std::to_string(n); }

 private:
  std::string dir_;
  std::map<int, std::unique_ptr<testing_support::Pty>> ptys_;
};

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() {
    tk::Install(&rt);
    rt.SetAutoAdvance(1);  // the port scan's pause processes messages until the clock has moved
    rt.SetMessageBoxHandler([this](const std::string& text, const std::string& caption) {
      messages.push_back(caption + ": " + text);
    });
  }
  ~EngineTest() override {
    engine.reset();
    rt.RunUntil([] { return tk::Thread::WaitForDetachedThreads(0); }, 5000);
    tk::Install(nullptr);
  }

  void Create() { engine = std::make_unique<EngineUnderTest>(&window, &dialog); }

  // Creates the engine with Com4 open, as after a successful scan, and forgets what creation logged.
  testing_support::Pty& CreateOnCom4() {
    auto& pty = ports.Add(4);
    Create();
    engine->OpenPort(4);
    EXPECT_TRUE(engine->Port->Connected());
    engine->SetBaud(9600);
    window.log.clear();
    return pty;
  }

  // Runs one step on the UI thread with the given reply kind, as the driver thread would.
  void StepWith(uint8_t kind) {
    engine->ReplyKind = kind;
    engine->Step();
  }

  // Feeds bytes to reply recognition as one chunk.
  void Chunk(const std::string& bytes) {
    engine->ProcessChunk(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size()));
  }

  // The log lines that start a step.
  int StepLines() const {
    return static_cast<int>(std::count_if(window.log.begin(), window.log.end(), [](const std::string& l) {
      return l.rfind("Timeout in state ", 0) == 0 || l.rfind("Receive using time: ", 0) == 0;
    }));
  }
  // Runs the loop until `count` steps have started in all.
  bool WaitSteps(int count, uint32_t ms = 5000) {
    return rt.RunUntil([&] { return StepLines() >= count; }, ms);
  }
  bool Logged(const std::string& line) const {
    return std::find(window.log.begin(), window.log.end(), line) != window.log.end();
  }

  tk::LoopRuntime rt{tk::LoopRuntime::Clock::Virtual, TestThreads()};
  PortDir ports;
  RecordingWindow window;
  RecordingDialog dialog;
  std::vector<std::string> messages;
  std::unique_ptr<EngineUnderTest> engine;
};

}  // namespace engine_test
