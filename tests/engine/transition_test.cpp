// The engine's steps in their sequence rather than one by one: the step's log line, error 4, the flash
// size asked for again, retries, the timers and the port that drive a step, and what a finished engine
// ignores.
#include <algorithm>
#include <stdexcept>

#include "tests/engine/harness.h"

using namespace engine;
using engine_test::EngineTest;

namespace {

class Transitions : public EngineTest {
 protected:
  // On Com4 with a firmware that needs the flash size, "{VFSH}" sent (one step so far).
  testing_support::Pty& AskFlashSizeForALargeFirmware() {
    auto& pty = CreateOnCom4();
    engine->FirmwareSize = 700002;
    engine->State = eCheckPort;
    StepWith(kReplyNotBluetooth);
    return pty;
  }
  // One "{VFSH}" that goes unanswered: the indicator is identified anew, and asked again.
  void FlashSizeNotAnswered(testing_support::Pty& pty, int* steps) {
    ASSERT_EQ("{VFSH}", pty.Receive(6, 1000));
    rt.Advance(1000);
    ASSERT_TRUE(WaitSteps(++*steps));
    EXPECT_EQ("{ZA1}", pty.Receive(5, 1000));
    EXPECT_EQ(serial::br9600, engine->Port->BaudRate());
    pty.Send("^");
    ASSERT_TRUE(WaitSteps(++*steps));
    EXPECT_EQ("{SCPC}", pty.Receive(6, 1000));
    pty.Send("[0]");
    ASSERT_TRUE(WaitSteps(++*steps));
  }
};

TEST_F(Transitions, StepLineShowsTheStateBeforeTheStepAndTheTimeSinceTheSend) {
  CreateOnCom4();
  engine->State = eZa96Before;
  engine->WaitStart = rt.Now() - 1016.0 / 86400000.0;
  StepWith(kReplyAck);
  EXPECT_EQ("Receive using time: 1016. In state of eZa96Before", window.log[0]);
  engine->ReplyKind = kReplyTimeout;
  engine->Step();
  EXPECT_EQ("Timeout in state eCheckPort", window.log[2]);
}

TEST_F(Transitions, FirstStepFromStartLogsTheTimeSince1899) {
  ports.Add(1);
  Create();
  engine->Start(0);
  ASSERT_GE(window.log.size(), 3u);
  // Creation logs the two modem-line reports of the still closed port.
  EXPECT_EQ("Port not open, unable to complete operationon Com2 Actual error code is -8", window.log[0]);
  EXPECT_EQ(window.log[0], window.log[1]);
  const std::string first = window.log[2];
  ASSERT_EQ(0u, first.rfind("Receive using time: ", 0)) << first;
  const std::string number = first.substr(20, first.find('.') - 20);
  EXPECT_EQ(13u, number.size()) << first;
  EXPECT_EQ(". In state of eReadyOpen", first.substr(first.find('.')));
  EXPECT_EQ(eZa96Before, engine->State);
  EXPECT_EQ(1, engine->PortNumber);
  EXPECT_EQ("Sending {ZA1} at 9600 baud rate on COM1. Timeout set to 1000", window.log.back());
}

TEST_F(Transitions, ErrorFourStandsStillWithNoTimerArmed) {
  CreateOnCom4();
  engine->FirmwareSize = 700000;
  engine->FlashSize = 512;
  engine->State = eCheckFlash;
  StepWith(kReplyAck);
  EXPECT_EQ(std::vector<std::string>{"show 4"}, dialog.calls);
  EXPECT_FALSE(engine->TimeoutTimer->Enabled());
  const int steps = StepLines();
  rt.Advance(60000);
  rt.RunFor(50);
  EXPECT_EQ(steps, StepLines());
  EXPECT_EQ(eCheckFlash, engine->State);
}

// Once error 4 no longer holds the engine, a later flash question without an answer times out again.
TEST_F(Transitions, ErrorFourHoldsOnlyWhileItShows) {
  struct Way {
    const char* name;
    std::function<void()> out;
  } const ways[] = {
      {"the indicator answers {ZA1}, the dialog goes",
       [this] {
         engine->State = eZa96Before;
         StepWith(kReplyAck);
       }},
      {"a size that suits comes late; {ZA1} at 38400 leaves the dialog up",
       [this] {
         engine->FlashSize = 2048;
         StepWith(kReplyAck);
         engine->State = eZa384Before;
         StepWith(kReplyAck);
       }},
      {"error 2 takes its place",
       [this] {
         engine->State = eWaitY;
         StepWith(kReplyTimeout);
       }},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    CreateOnCom4();
    engine->FirmwareSize = 700002;
    engine->FlashSize = 512;
    engine->State = eCheckFlash;
    StepWith(kReplyAck);
    ASSERT_FALSE(engine->TimeoutTimer->Enabled());
    way.out();
    engine->State = eCheckPort;
    StepWith(kReplyNotBluetooth);
    EXPECT_EQ(eCheckFlash, engine->State);
    EXPECT_TRUE(engine->TimeoutTimer->Enabled());
    engine.reset();
  }
}

TEST_F(Transitions, SmallFirmwareWithoutFlashAnswerAsksOnceAndGoesOnAfterOneSecond) {
  auto& pty = CreateOnCom4();
  engine->FirmwareSize = 3002;
  engine->State = eCheckPort;
  StepWith(kReplyNotBluetooth);
  EXPECT_EQ("{VFSH}", pty.Receive(6, 1000));
  rt.Advance(999);
  rt.RunFor(20);
  EXPECT_EQ(1, StepLines());
  EXPECT_EQ("", pty.Receive(1, 20));
  rt.Advance(1);
  ASSERT_TRUE(WaitSteps(2));
  EXPECT_TRUE(Logged("Timeout in state eCheckFlash"));
  EXPECT_EQ(eRequestSCPVersion, engine->State);
  EXPECT_EQ("{VC}", pty.Receive(10, 1000));
  EXPECT_TRUE(dialog.calls.empty());
}

TEST_F(Transitions, LargeFirmwareAsksForTheFlashSizeUntilItComes) {
  auto& pty = AskFlashSizeForALargeFirmware();
  int steps = 1;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    FlashSizeNotAnswered(pty, &steps);
  }
  EXPECT_EQ("{VFSH}", pty.Receive(6, 1000));
  pty.Send("[2048]");
  ASSERT_TRUE(WaitSteps(++steps));
  EXPECT_EQ(eRequestSCPVersion, engine->State);
  EXPECT_EQ("{VC}", pty.Receive(4, 1000));
  EXPECT_EQ((std::vector<std::string>{"show 2", "hide", "show 2", "hide"}), dialog.calls);
  EXPECT_EQ(2, std::count(window.log.begin(), window.log.end(), "Can not receive flash size."));
}

TEST_F(Transitions, LargeFirmwareForAnIndicatorThatNeverTellsItsFlashSizeIsNoMatch) {
  auto& pty = AskFlashSizeForALargeFirmware();
  int steps = 1;
  for (int round = 1; round < kFlashAsks; ++round) FlashSizeNotAnswered(pty, &steps);
  ASSERT_EQ("{VFSH}", pty.Receive(6, 1000));
  rt.Advance(1000);
  ASSERT_TRUE(WaitSteps(++steps));
  EXPECT_EQ(eCheckFlash, engine->State);
  EXPECT_EQ("show 4", dialog.calls.back());
  EXPECT_FALSE(engine->TimeoutTimer->Enabled());
  EXPECT_EQ("", pty.Receive(1, 50));
}

TEST_F(Transitions, CheckPortWithoutAnswerAsksTwiceMoreThenIdentifiesAgain) {
  auto& pty = CreateOnCom4();
  engine->SetBaud(9600);
  engine->State = eZa96Before;
  StepWith(kReplyAck);  // entered afresh, whatever retries an earlier state left
  EXPECT_EQ("{SCPC}", pty.Receive(6, 1000));
  for (int i = 0; i < 2; ++i) {
    rt.Advance(1000);
    ASSERT_TRUE(WaitSteps(2 + i));
    EXPECT_EQ(eCheckPort, engine->State);
    EXPECT_EQ("{SCPC}", pty.Receive(6, 1000));
  }
  rt.Advance(1000);
  ASSERT_TRUE(WaitSteps(4));
  EXPECT_EQ(eZa96Before, engine->State);
  EXPECT_EQ("{ZA1}", pty.Receive(5, 1000));
}

TEST_F(Transitions, RetryCountCarriesFromSebxIntoSeha) {
  CreateOnCom4();
  engine->RetryCount = 2;  // left by two "{SEBX38400}" resends
  engine->SetBaud(38400);
  engine->State = eSeha;
  StepWith(kReplyTimeout);
  EXPECT_EQ(eZa96Before, engine->State);
  EXPECT_TRUE(Logged("No acknowledge to SEHA command."));
}

TEST_F(Transitions, TimeoutTimerDrivesTheStepThroughTheDriverThread) {
  auto& pty = CreateOnCom4();
  engine->State = eZa96Before;
  StepWith(kReplyNone);  // arms the 1 s timeout of eZa96Before
  EXPECT_EQ(eZa96Before, engine->State);
  rt.Advance(999);
  rt.RunFor(20);
  EXPECT_EQ(1, StepLines());
  rt.Advance(1);
  ASSERT_TRUE(WaitSteps(2));
  EXPECT_EQ("Timeout in state eZa96Before", window.log[1]);
  EXPECT_EQ(eZa384Before, engine->State);
  EXPECT_EQ("{ZA1}", pty.Receive(5, 1000));
}

TEST_F(Transitions, ReplyOnThePortWakesOneStep) {
  auto& pty = CreateOnCom4();
  engine->State = eZa96Before;
  StepWith(kReplyNone);
  ASSERT_TRUE(pty.Send("^"));
  ASSERT_TRUE(WaitSteps(2));
  EXPECT_EQ(eCheckPort, engine->State);
  EXPECT_EQ("Received: ^ length: 1", window.log[1]);
  EXPECT_EQ(0u, window.log[2].rfind("Receive using time: ", 0));
  EXPECT_EQ("{SCPC}", pty.Receive(6, 1000));
}

TEST_F(Transitions, NoStepAfterFinishEvenWithBytesArriving) {
  auto& pty = CreateOnCom4();
  int finished = 0;
  engine->OnFinished = [&](TSerialThread* e) {
    EXPECT_EQ(engine->Engine(), e);
    ++finished;
  };
  engine->State = eWaitY;
  StepWith(kReplyY);
  EXPECT_EQ(1, finished);
  EXPECT_EQ(1, engine->Succeeded);
  const size_t lines = window.log.size();
  pty.Send("^^^TVWZ");
  rt.Advance(5000);
  rt.RunFor(100);
  EXPECT_EQ(lines, window.log.size());
  engine->OnFinished = nullptr;
  engine->Finish();  // the window's close calls it again
  EXPECT_EQ(1, finished);
  EXPECT_TRUE(engine->Terminated());
}

TEST_F(Transitions, ReportsAfterStopOnlyLog) {
  CreateOnCom4();
  engine->Finish();
  window.status.clear();
  engine->ShowStatus("late");
  engine->BytesSent = 5;
  engine->UpdateProgress();
  engine->SetProgressMax();
  engine->ShowProgressBar();
  engine->Log("");
  EXPECT_TRUE(window.status.empty());
  EXPECT_TRUE(window.positions.empty());
  EXPECT_TRUE(window.maxima.empty());
  EXPECT_TRUE(window.visible.empty());
  EXPECT_EQ("", window.log.back());
}

struct ThrowingWindow : engine_test::RecordingWindow {
  void AppendLogLine(const std::string& text) override {
    if (text == "boom") throw std::runtime_error("full");
    RecordingWindow::AppendLogLine(text);
  }
};

TEST_F(Transitions, FailingLogLineIsReplaced) {
  ThrowingWindow w;
  ports.Add(4);
  auto e = std::make_unique<engine_test::EngineUnderTest>(&w, &dialog);
  e->Log("boom");
  EXPECT_EQ("Insert to richedit error.", w.log.back());
}

}  // namespace
