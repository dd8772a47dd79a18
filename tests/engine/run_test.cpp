// Whole runs of the engine with its real driver thread and a real port: a scripted indicator answers on the
// far side of the pseudo-terminal.
#include <atomic>
#include <mutex>
#include <thread>

#include "tests/engine/harness.h"

using namespace engine;
using engine_test::PortDir;
using engine_test::RecordingDialog;
using engine_test::RecordingWindow;

namespace {

// Plays the indicator: answers each complete command from a table and records what it heard at which rate.
class ScriptedIndicator {
 public:
  explicit ScriptedIndicator(testing_support::Pty& pty) : pty_(pty) {
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedIndicator() {
    stop_ = true;
    thread_.join();
  }
  std::vector<std::string> Heard() {
    std::lock_guard<std::mutex> lock(mutex_);
    return heard_;
  }

 private:
  void Run() {
    std::string pending;
    while (!stop_) {
      const std::string got = pty_.Receive(1, 20);
      if (got.empty()) continue;
      pending += got;
      for (;;) {
        std::string command;
        if (!pending.empty() && pending[0] == 'U') {
          command = "U";
        } else if (const auto end = pending.find('}');
                   !pending.empty() && pending[0] == '{' && end != pending.npos) {
          command = pending.substr(0, end + 1);
        } else if (!pending.empty() && pending[0] != '{') {
          pending.erase(0, 1);
          continue;
        } else {
          break;
        }
        pending.erase(0, command.size());
        const termios t = pty_.Settings();
        const std::string rate = cfgetospeed(&t) == B38400  ? "38400"
                                 : cfgetospeed(&t) == B9600 ? "9600"
                                                            : "?";
        {
          std::lock_guard<std::mutex> lock(mutex_);
          heard_.push_back(command + "@" + rate);
        }
        pty_.Send(Answer(command));
      }
    }
  }
  static std::string Answer(const std::string& command) {
    if (command == "{SCPC}") return "[0]";
    if (command == "{VFSH}") return "[512]";
    if (command == "{VC}" || command == "{VW}") return "[1.23]";
    if (command == "{FT}") return "[100]";
    if (command == "{PM}") return "";
    return "^";
  }

  testing_support::Pty& pty_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> heard_;
};

TEST(EngineRun, IdentificationWithRealThreadsAndTimersUpToTheLoader) {
  tk::LoopRuntime rt(tk::LoopRuntime::Clock::Real, engine_test::TestThreads());
  tk::Install(&rt);
  {
    PortDir ports;
    auto& com4 = ports.Add(4);
    RecordingWindow window;
    RecordingDialog dialog;
    ScriptedIndicator indicator(com4);
    engine_test::EngineUnderTest engine(&window, &dialog);
    engine.FirmwareSize = 5000;
    engine.Start(0);
    ASSERT_TRUE(rt.RunUntil([&] { return engine.State == eSendPM && indicator.Heard().size() >= 10; }, 20000))
        << StateNames[engine.State];
    EXPECT_EQ((std::vector<std::string>{"{ZA1}@9600", "{SCPC}@9600", "{VFSH}@9600", "{VC}@9600", "{VW}@9600",
                                        "{FT}@9600", "{SEBX38400}@9600", "{ZA1}@38400", "{SEHA1}@38400",
                                        "{PM}@38400"}),
              indicator.Heard());
    EXPECT_EQ(4, engine.PortNumber);
    EXPECT_EQ(512, engine.FlashSize);
    EXPECT_TRUE(dialog.calls.empty());
    const auto has = [&](const std::string& line) {
      return std::find(window.log.begin(), window.log.end(), line) != window.log.end();
    };
    EXPECT_TRUE(has("Non Bluetooth Con Port"));
    EXPECT_TRUE(has("Not a bluetooth port, move on to checking flash"));
    EXPECT_TRUE(has("Sending {SEHA1} at 38400 baud rate on COM4. Timeout set to 1000"));
    EXPECT_TRUE(has("Sending S19 loader. FileSize:0"));
    engine.Finish();
  }
  rt.RunUntil([] { return tk::Thread::WaitForDetachedThreads(0); }, 5000);
  tk::Install(nullptr);
}

class SilentRun : public engine_test::EngineTest {
 protected:
  // The next command on the wire and the rate the port ran at then.
  std::string Next(testing_support::Pty& pty, size_t size) {
    const std::string bytes = pty.Receive(size, 2000);
    const termios t = pty.Settings();
    return bytes + "@" + (cfgetospeed(&t) == B38400 ? "38400" : "9600");
  }
};

TEST_F(SilentRun, NineSixThenThirtyEightFourThenUAtBothThenTheNextPort) {
  auto& com4 = ports.Add(4);
  Create();
  engine->Start(0);
  EXPECT_EQ("{ZA1}@9600", Next(com4, 5));
  int steps = StepLines();
  const char* expected[] = {"{ZA1}@38400", "U@38400", "U@9600"};
  for (const char* command : expected) {
    rt.Advance(1000);
    ASSERT_TRUE(WaitSteps(++steps));
    EXPECT_EQ(command, Next(com4, std::string(command).find('@')));
  }
  EXPECT_EQ(eU96, engine->State);
  rt.Advance(1000);
  ASSERT_TRUE(WaitSteps(++steps));
  // Com5..Com25, then Com1..Com3 fail; Com4 again, with the scan's code 1 at the wrap.
  EXPECT_EQ(eZa96Before, engine->State);
  EXPECT_EQ(4, engine->PortNumber);
  EXPECT_EQ(std::vector<std::string>{"show 1"}, dialog.calls);
  EXPECT_EQ("{ZA1}@9600", Next(com4, 5));
}

TEST_F(SilentRun, BootFlagProbesWithUAtOnce) {
  auto& com4 = ports.Add(4);
  Create();
  engine->Start(1);
  EXPECT_EQ("{ZA1}@9600", Next(com4, 5));
  const int steps = StepLines();  // before the clock moves: the step may run inside Advance
  rt.Advance(1000);
  ASSERT_TRUE(WaitSteps(steps + 1));
  EXPECT_EQ(eU96, engine->State);
  EXPECT_EQ("U@9600", Next(com4, 1));
}

}  // namespace
