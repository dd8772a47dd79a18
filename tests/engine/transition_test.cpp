// The transition table, entry by entry: from a state and a reply kind, one step on an open Com4; then the
// state reached, the bytes on the wire, the log lines, the error-dialog calls and the timeout armed.
#include <functional>

#include "tests/engine/harness.h"

using namespace engine;
using engine_test::EngineTest;

namespace {

std::string Sent(const std::string& command, int baud = 9600) {
  return "Sending " + command + " at " + std::to_string(baud) + " baud rate on COM4. Timeout set to 1000";
}

const char* kNoSpace = "This indicator does not have enough space. Delete some files in the indicator first.";

struct Entry {
  const char* name;
  uint8_t state;
  uint8_t kind;
  std::function<void(engine_test::EngineUnderTest&)> setup;
  uint8_t next;
  std::string wire;
  std::vector<std::string> log;  // after the step's own line
  std::vector<std::string> dialog = {};
  uint32_t interval = 1000;
  bool armed = true;
  int baud = 0;  // the rate the port runs at afterwards (0: not checked)
  std::vector<std::string> messages = {};
  bool finished = false;
};

auto With(std::function<void(engine_test::EngineUnderTest&)> f) {
  return f;
}
const auto kNothing = With([](engine_test::EngineUnderTest&) {});
const auto kErrorShown = With([](engine_test::EngineUnderTest& e) { e.ErrorShown = 1; });
const auto kAt38400 = With([](engine_test::EngineUnderTest& e) { e.SetBaud(38400); });

std::vector<Entry> Entries() {
  const std::string upload = "Sending S19 loader. FileSize:0";
  return {
      // eZa96Before
      {"caret", eZa96Before, 1, kErrorShown, eCheckPort, "{SCPC}", {Sent("{SCPC}")}, {"hide"}},
      {"timeout, boot flag",
       eZa96Before,
       13,
       With([](engine_test::EngineUnderTest& e) { e.BootFlag = 1; }),
       eU96,
       "U",
       {Sent("U")}},
      {"timeout",
       eZa96Before,
       13,
       kNothing,
       eZa384Before,
       "{ZA1}",
       {Sent("{ZA1}", 38400)},
       {},
       1000,
       true,
       38400},
      {"other kind changes nothing", eZa96Before, 10, kNothing, eZa96Before, "", {}},
      // eZa96After
      {"caret", eZa96After, 1, kNothing, eSendPM, "{PM}", {upload, Sent("{PM}")}},
      {"timeout",
       eZa96After,
       13,
       kNothing,
       eZa96Last,
       "{ZA1}",
       {"Failed to communicate at 38400 baud\r\nFalling back to 9600. But still no response from {ZA1} at "
        "9600.\r\nTurn indicator off and back in or, if on charge, remove and restore.",
        Sent("{ZA1}")},
       {"show 2"}},
      // eCheckFlash: any kind, by the stored flash size
      {"no answer and a small image",
       eCheckFlash,
       13,
       With([](engine_test::EngineUnderTest& e) { e.FirmwareSize = 5000; }),
       eRequestSCPVersion,
       "{VC}",
       {Sent("{VC}")}},
      {"big flash, small image",
       eCheckFlash,
       1,
       With([](engine_test::EngineUnderTest& e) {
         e.FlashSize = 1024;
         e.FirmwareSize = 599999;
       }),
       eCheckFlash,
       "",
       {},
       {"show 4"},
       1000,
       false},
      {"small flash, big image",
       eCheckFlash,
       1,
       With([](engine_test::EngineUnderTest& e) {
         e.FlashSize = 1023;
         e.FirmwareSize = 600001;
       }),
       eCheckFlash,
       "",
       {},
       {"show 4"},
       1000,
       false},
      {"no answer and a big image",
       eCheckFlash,
       13,
       With([](engine_test::EngineUnderTest& e) { e.FirmwareSize = 700000; }),
       eCheckFlash,
       "",
       {},
       {"show 4"},
       1000,
       false},
      {"600000 always passes",
       eCheckFlash,
       1,
       With([](engine_test::EngineUnderTest& e) {
         e.FlashSize = 5;
         e.FirmwareSize = 600000;
       }),
       eRequestSCPVersion,
       "{VC}",
       {Sent("{VC}")}},
      // eRequestSCPVersion
      {"1", eRequestSCPVersion, 2, kNothing, eRequestVersion, "{VW}", {Sent("{VW}")}},
      {"higher", eRequestSCPVersion, 3, kNothing, eTurnErrorOn, "{ZE1}", {Sent("{ZE1}")}},
      {"timeout", eRequestSCPVersion, 13, kNothing, eTurnErrorOn, "{ZE1}", {Sent("{ZE1}")}},
      // eRequestVersion
      {"1 at 9600", eRequestVersion, 4, kNothing, eFt96, "{FT}", {Sent("{FT}")}},
      {"1 at 38400", eRequestVersion, 4, kAt38400, eFt384, "{FT}", {Sent("{FT}", 38400)}},
      {"higher", eRequestVersion, 5, kNothing, eTurnErrorOn, "{ZE1}", {Sent("{ZE1}")}},
      {"timeout", eRequestVersion, 13, kAt38400, eZa96Before, "{ZA1}", {Sent("{ZA1}")}, {}, 1000, true, 9600},
      // eTurnErrorOn
      {"caret resets the retries",
       eTurnErrorOn,
       1,
       With([](engine_test::EngineUnderTest& e) { e.RetryCount = 2; }),
       eCheckHeapAddress,
       "{PS420004,424FFF}",
       {Sent("{PS420004,424FFF}")}},
      {"timeout", eTurnErrorOn, 13, kAt38400, eZa96Before, "{ZA1}", {Sent("{ZA1}")}, {}, 1000, true, 9600},
      // eCheckHeapAddress
      {"FD", eCheckHeapAddress, 6, kNothing, eRequestVersion, "{VW}", {Sent("{VW}")}},
      {"F9",
       eCheckHeapAddress,
       7,
       kNothing,
       eCheckHeapAddress,
       "",
       {},
       {},
       1000,
       false,
       0,
       {"Message: Start, End address outside heap"},
       true},
      {"14",
       eCheckHeapAddress,
       8,
       kNothing,
       eCheckHeapAddress,
       "",
       {},
       {},
       1000,
       false,
       0,
       {std::string("Message: ") + kNoSpace},
       true},
      {"hex at 9600",
       eCheckHeapAddress,
       9,
       With([](engine_test::EngineUnderTest& e) { e.RetryCount = 1; }),
       eSebx384,
       "{SEBX38400}",
       {Sent("{SEBX38400}")}},
      {"hex at 9600 with boot flag",
       eCheckHeapAddress,
       9,
       With([](engine_test::EngineUnderTest& e) { e.BootFlag = 1; }),
       eSendPM,
       "{PM}",
       {upload, Sent("{PM}")}},
      {"hex at 38400", eCheckHeapAddress, 9, kAt38400, eSeha, "{SEHA1}", {Sent("{SEHA1}", 38400)}},
      {"first resend",
       eCheckHeapAddress,
       13,
       kNothing,
       eCheckHeapAddress,
       "{PS420004,424FFF}",
       {Sent("{PS420004,424FFF}")}},
      {"gives up after two resends",
       eCheckHeapAddress,
       13,
       With([](engine_test::EngineUnderTest& e) {
         e.RetryCount = 2;
         e.SetBaud(38400);
       }),
       eZa96Before,
       "{ZA1}",
       {Sent("{ZA1}")},
       {},
       1000,
       true,
       9600},
      // eSendU
      {"T", eSendU, 10, kErrorShown, eWaitV, "", {}, {"hide"}, 30000},
      {"timeout", eSendU, 13, kNothing, eSendU, "U", {"Can not receive T.", Sent("U")}, {"show 2"}, 2000},
      {"timeout with the dialog up",
       eSendU,
       13,
       kErrorShown,
       eSendU,
       "U",
       {"Can not receive T.", Sent("U")},
       {},
       2000},
      // eZa384Before
      {"caret", eZa384Before, 1, kAt38400, eCheckPort, "{SCPC}", {Sent("{SCPC}", 38400)}},
      {"timeout", eZa384Before, 13, kAt38400, eU384, "U", {Sent("U", 38400)}, {}, 1000, true, 38400},
      // eZa96Last
      {"caret", eZa96Last, 1, kErrorShown, eSendPM, "{PM}", {upload, Sent("{PM}")}, {"hide"}},
      {"timeout",
       eZa96Last,
       13,
       kNothing,
       eZa96Before,
       "{ZA1}",
       {"Failed to re-communicate at 9600.", Sent("{ZA1}")},
       {"show 2"}},
      // eZa384After, eZa384Retry
      {"caret", eZa384After, 1, kAt38400, eSeha, "{SEHA1}", {Sent("{SEHA1}", 38400)}},
      {"timeout", eZa384After, 13, kAt38400, eZa384Retry, "{ZA1}", {Sent("{ZA1}", 38400)}},
      {"caret", eZa384Retry, 1, kAt38400, eSeha, "{SEHA1}", {Sent("{SEHA1}", 38400)}},
      {"timeout", eZa384Retry, 13, kAt38400, eZa96After, "{ZA1}", {Sent("{ZA1}")}, {}, 1000, true, 9600},
      // eSebx384
      {"caret", eSebx384, 1, kNothing, eZa384After, "{ZA1}", {Sent("{ZA1}", 38400)}, {}, 1000, true, 38400},
      {"resend",
       eSebx384,
       13,
       With([](engine_test::EngineUnderTest& e) { e.RetryCount = 1; }),
       eSebx384,
       "{SEBX38400}",
       {Sent("{SEBX38400}")}},
      {"third silence uploads at 9600",
       eSebx384,
       13,
       With([](engine_test::EngineUnderTest& e) { e.RetryCount = 2; }),
       eSendPM,
       "{PM}",
       {upload, Sent("{PM}")},
       {},
       1000,
       true,
       9600},
      // eU384, eU96
      {"T", eU384, 10, kAt38400, eWaitV, "", {}, {}, 30000},
      {"timeout", eU384, 13, kAt38400, eU96, "U", {Sent("U")}, {}, 1000, true, 9600},
      {"T", eU96, 10, kNothing, eWaitV, "", {}, {}, 30000},
      // eWaitV
      {"V sends the size",
       eWaitV,
       14,
       With([](engine_test::EngineUnderTest& e) { e.FirmwareSize = 123456; }),
       eWaitW,
       std::string("\x40\xE2\x01\x00", 4),
       {"FirmwareSize is :  123456"},
       {},
       3000},
      {"timeout",
       eWaitV,
       13,
       kNothing,
       eSendU,
       "U",
       {"Erasing firmware failed.", Sent("U")},
       {"show 2"},
       2000},
      // eFt96, eFt384
      {"too big",
       eFt96,
       11,
       kNothing,
       eFt96,
       "",
       {},
       {},
       1000,
       false,
       0,
       {std::string("Message: ") + kNoSpace},
       true},
      {"fits at 9600",
       eFt96,
       12,
       With([](engine_test::EngineUnderTest& e) { e.RetryCount = 2; }),
       eSebx384,
       "{SEBX38400}",
       {Sent("{SEBX38400}")}},
      {"fits at 38400", eFt384, 12, kAt38400, eSeha, "{SEHA1}", {Sent("{SEHA1}", 38400)}},
      {"timeout at 9600 stays",
       eFt96,
       13,
       kNothing,
       eFt96,
       "",
       {"This indicator does not response to check file recordes."},
       {"show 2"}},
      {"timeout at 38400",
       eFt384,
       13,
       kAt38400,
       eZa96Before,
       "{ZA1}",
       {"This indicator does not response to check file recordes.", Sent("{ZA1}")},
       {"show 2"},
       1000,
       true,
       9600},
      // eSeha
      {"caret", eSeha, 1, kAt38400, eSendPM, "{PM}", {upload, Sent("{PM}", 38400)}},
      {"resend", eSeha, 13, kAt38400, eSeha, "{SEHA1}", {Sent("{SEHA1}", 38400)}, {"show 2"}},
      {"gives up",
       eSeha,
       13,
       With([](engine_test::EngineUnderTest& e) {
         e.SetBaud(38400);
         e.RetryCount = 2;
       }),
       eZa96Before,
       "{ZA1}",
       {"No acknowledge to SEHA command.", Sent("{ZA1}")},
       {"show 2"},
       1000,
       true,
       9600},
      // eWaitW
      {"timeout",
       eWaitW,
       13,
       kNothing,
       eSendU,
       "U",
       {"Can not receive W. Sending firmware size failed.", Sent("U")},
       {"show 2"},
       2000},
      // eWaitX
      {"X sends the CRC",
       eWaitX,
       19,
       With([](engine_test::EngineUnderTest& e) { e.Crc = 0x1234; }),
       eWaitY,
       std::string("\x34\x12", 2),
       {"Send out crc is: 4660 18"}},
      {"timeout",
       eWaitX,
       13,
       kNothing,
       eSendU,
       "U",
       {"Data transfer failed. Did not receive x", Sent("U")},
       {"show 2"},
       2000},
      // eWaitY
      {"Y", eWaitY, 18, kNothing, eWaitY, "", {}, {}, 1000, false, 0, {}, true},
      {"timeout shows the error even when up",
       eWaitY,
       13,
       kErrorShown,
       eSendU,
       "U",
       {"Download not OK.(Already receive X,but crc not correct,did not receive y)", Sent("U")},
       {"show 2"},
       2000},
      // eSendPM
      {"timeout",
       eSendPM,
       13,
       kAt38400,
       eZa96Before,
       "{ZA1}",
       {"PM not acknowledged.", Sent("{ZA1}", 38400)},
       {"show 2"},
       1000,
       true,
       38400},
      // eWaitQ
      {"Q", eWaitQ, 16, kNothing, eSendU, "U", {Sent("U")}, {}, 2000},
      {"timeout", eWaitQ, 13, kNothing, eUploadZA, "{ZA1}", {Sent("{ZA1}")}},
      {"B after the upload changes nothing", eWaitQ, 21, kNothing, eWaitQ, "", {}, {}, 30000},
      // eUploadZA
      {"caret",
       eUploadZA,
       1,
       kErrorShown,
       eSendPM,
       "{PM}",
       {"Can not receive Q but can still talk to indicator.", upload, Sent("{PM}")},
       {"show 2"}},
      {"timeout",
       eUploadZA,
       13,
       kErrorShown,
       eSendPM,
       "{PM}",
       {"Can not receive Q and can not talk to indicator.", upload, Sent("{PM}")},
       {}},
      // eCheckPort
      {"not bluetooth",
       eCheckPort,
       23,
       kNothing,
       eCheckFlash,
       "{VFSH}",
       {"Not a bluetooth port, move on to checking flash", Sent("{VFSH}")}},
      {"timeout only logs", eCheckPort, 13, kNothing, eCheckPort, "", {}},
  };
}

using Transitions = EngineTest;

TEST_F(Transitions, EveryEntry) {
  for (const Entry& entry : Entries()) {
    SCOPED_TRACE(std::string(StateNames[entry.state]) + ": " + entry.name);
    auto& pty = CreateOnCom4();
    dialog.calls.clear();
    messages.clear();
    entry.setup(*engine);
    engine->TimeoutTimer->SetInterval(1000);
    engine->State = entry.state;
    StepWith(entry.kind);
    EXPECT_EQ(StateNames[entry.next], std::string(StateNames[engine->State]));
    EXPECT_EQ(entry.wire, pty.Receive(entry.wire.size(), 1000));
    EXPECT_EQ("", pty.Receive(1, 20));
    ASSERT_FALSE(window.log.empty());
    const std::vector<std::string> after(window.log.begin() + 1, window.log.end());
    EXPECT_EQ(entry.log, after);
    EXPECT_EQ(entry.dialog, dialog.calls);
    EXPECT_EQ(entry.messages, messages);
    EXPECT_EQ(entry.finished, engine->Terminated());
    if (!entry.finished) {
      EXPECT_EQ(entry.interval, engine->TimeoutTimer->Interval());
      EXPECT_EQ(entry.interval - 200, engine->PollTimer->Interval());
      EXPECT_EQ(entry.armed, engine->TimeoutTimer->Enabled());
      EXPECT_EQ(entry.armed, engine->PollTimer->Enabled());
    } else {
      EXPECT_FALSE(engine->TimeoutTimer->HasOnTimer());
      EXPECT_FALSE(engine->PollTimer->HasOnTimer());
    }
    if (entry.baud) {
      EXPECT_EQ(entry.baud == 9600 ? serial::br9600 : serial::br38400, engine->Port->BaudRate());
    }
    engine.reset();
  }
}

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
  EXPECT_EQ(Sent("{ZA1}").replace(Sent("{ZA1}").find("COM4"), 4, "COM1"), window.log.back());
}

TEST_F(Transitions, ErrorFourStandsStillWithNoTimerArmed) {
  CreateOnCom4();
  engine->FirmwareSize = 700000;
  engine->State = eCheckFlash;
  StepWith(kReplyTimeout);
  EXPECT_FALSE(engine->TimeoutTimer->Enabled());
  const int steps = StepLines();
  rt.Advance(60000);
  rt.RunFor(50);
  EXPECT_EQ(steps, StepLines());
  EXPECT_EQ(eCheckFlash, engine->State);
}

TEST_F(Transitions, CheckPortWithoutAnswerStaysAndLogsEverySecond) {
  auto& pty = CreateOnCom4();
  engine->State = eCheckPort;
  StepWith(kReplyTimeout);
  for (int i = 0; i < 3; ++i) {
    rt.Advance(1000);
    ASSERT_TRUE(WaitSteps(2 + i));
  }
  EXPECT_EQ(eCheckPort, engine->State);
  EXPECT_EQ("Timeout in state eCheckPort", window.log.back());
  EXPECT_EQ("", pty.Receive(1, 20));
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
    EXPECT_EQ(engine.get(), e);
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
