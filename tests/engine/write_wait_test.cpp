// Waiting for a write that the line holds back (XOFF here; on a real UART every write, for its line time):
// the wait runs the event loop, so a timer of the UI thread (as another engine's reply or step would) keeps
// its turns all along, and the bytes still arrive whole.
#include <fcntl.h>
#include <termios.h>

#include <atomic>
#include <thread>

#include "tests/engine/harness.h"
#include "tests/support/payloads.h"

using namespace engine;

namespace {

class WriteWait : public ::testing::Test {
 protected:
  WriteWait() { tk::Install(&rt); }
  ~WriteWait() override {
    engine.reset();
    rt.RunUntil([] { return tk::Thread::WaitForDetachedThreads(0); }, 5000);
    tk::Install(nullptr);
  }

  // An engine on Com4 at `baud`, its own steps kept out of the test.
  testing_support::Pty& Open(int baud) {
    auto& pty = ports.Add(4);
    engine = std::make_unique<engine_test::EngineUnderTest>(&window, &dialog);
    engine->TimeoutTimer->SetEnabled(false);
    engine->OpenPort(4);
    EXPECT_TRUE(engine->Port->Connected());
    engine->SetBaud(baud);
    return pty;
  }

  tk::LoopRuntime rt{tk::LoopRuntime::Clock::Real, engine_test::TestThreads()};
  engine_test::PortDir ports;
  engine_test::RecordingWindow window;
  engine_test::RecordingDialog dialog;
  std::unique_ptr<engine_test::EngineUnderTest> engine;
};

TEST_F(WriteWait, AHeldWriteLetsTheLoopRunAndArrivesWhole) {
  const std::string block = testing_support::FirmwareImage(1000, 7) + "\xA5";
  const std::string loader = testing_support::LoaderText(1024);
  BufferPayload loaderSource(reinterpret_cast<const uint8_t*>(loader.data()), loader.size());
  // The whole loader upload: "{PM}", its caret, and the steps of the upload until it has ended.
  auto upload = [&](engine_test::EngineUnderTest& e) {
    e.LoaderSource = &loaderSource;
    e.LoaderSize = static_cast<uint32_t>(loader.size());
    e.StartLoaderUpload();
    e.ReplyKind = kReplyAck;
    e.Step();
  };
  struct Row {
    const char* name;
    int holdMs;  // how long the far side holds the line with XOFF
    std::function<void(engine_test::EngineUnderTest&)> write;
    std::string wire;
    bool told;  // the hold lasted: the log and the dialog said so, and the dialog went again
  } rows[] = {
      {"a block, within its time", 500, [&](auto& e) { e.WriteOut(block.data(), 1001); }, block, false},
      {"a command", 500, [](auto& e) { e.SendCommand("{ZA1}"); }, "{ZA1}", false},
      // Held past its time the write stays pending; the rate changes only once it has gone.
      {"a write past its time, then the rate change", 1500,
       [](auto& e) {
         e.SendCommand("{SEBX38400}");
         e.SetBaud(9600);
         EXPECT_EQ(serial::br38400, e.Port->BaudRate());
       },
       "{SEBX38400}", false},
      // "{PM}" itself is held, and its step waits for it; then the upload.
      {"the loader upload", 2500, upload, "{PM}" + loader, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto& pty = Open(38400);
    engine->MarkAnswered();         // the indicator's own hold: waited for, however long
    ASSERT_TRUE(pty.Send("\x13"));  // XOFF: the port's software flow control stops sending
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int fires = 0;
    auto ticker = rt.NewTimer();
    ticker->SetInterval(5);
    ticker->SetOnTimer([&] { ++fires; });
    std::string arrived;
    std::atomic<bool> done{false};
    std::thread far([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(row.holdMs));
      pty.Send("\x11");  // XON
      arrived = pty.Receive(row.wire.size(), 5000);
      done = true;
    });
    const int64_t start = tk::MonotonicUs() / 1000;
    row.write(*engine);
    // No write waits: the loop (every other engine) goes on, and the bytes' end brings what follows.
    EXPECT_LT(tk::MonotonicUs() / 1000 - start, 200) << "the write held the loop";
    rt.RunUntil([&] { return done && (row.told ? engine->State == eWaitQ : !engine->WritePending()); },
                10000);
    const int64_t tookMs = tk::MonotonicUs() / 1000 - start;
    far.join();
    ticker.reset();
    EXPECT_TRUE(arrived == row.wire) << arrived.size() << " of " << row.wire.size();
    EXPECT_EQ(serial::br9600 == engine->Port->BaudRate(), engine->CurrentBaud == 9600);
    // A 5 ms timer fires about every 5 ms while the loop runs. One in 25 ms is a bound a busy machine keeps.
    EXPECT_GE(fires, tookMs / 25) << "in " << tookMs << " ms";
    const bool told =
        std::count(window.log.begin(), window.log.end(),
                   "The indicator holds the line (XOFF) on Com4; waiting for it to take the bytes") == 1;
    EXPECT_EQ(row.told, told);
    const std::vector<std::string> shown =
        row.told ? std::vector<std::string>{"show 2", "hide"} : std::vector<std::string>{};
    EXPECT_EQ(shown, dialog.calls);
    window.log.clear();
    dialog.calls.clear();
    engine.reset();
  }
}

TEST_F(WriteWait, AFirmwareBlockStillOnTheLineDoesNotHoldItsStep) {
  // As a real UART's driver, which completes a write once its bytes are on the line (a block takes a second
  // at 9600 baud): the output stopped for a while. The step hands the block over and ends; its
  // acknowledgement is what the engine waits for, on the block's timeout.
  auto& pty = Open(9600);
  const std::string image = testing_support::FirmwareImage(1000, 9);
  BufferPayload source(reinterpret_cast<const uint8_t*>(image.data()), image.size());
  engine->FirmwareSource = &source;
  engine->FirmwareSize = 1002;
  const int tty = open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(tty, 0);
  ASSERT_EQ(0, tcflow(tty, TCOOFF));
  std::string arrived;
  std::atomic<bool> received{false};
  std::thread far([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    tcflow(tty, TCOON);
    arrived = pty.Receive(1001, 5000);
    received = true;
  });
  engine->State = eWaitW;
  engine->ReplyKind = kReplyW;
  const int64_t start = tk::MonotonicUs() / 1000;
  engine->Step();
  const int64_t tookMs = tk::MonotonicUs() / 1000 - start;
  // The rest of the block goes out as the loop runs (on one thread nothing else pushes it).
  rt.RunUntil([&] { return received.load(); }, 6000);
  far.join();
  close(tty);
  EXPECT_LT(tookMs, 300) << "the step waited for the line";
  EXPECT_EQ(eSendFirmware, engine->State);
  EXPECT_TRUE(engine->TimeoutTimer->Enabled());
  EXPECT_EQ(6000u, engine->TimeoutTimer->Interval());
  EXPECT_TRUE(arrived == image + "\xA5") << arrived.size();
}

}  // namespace
