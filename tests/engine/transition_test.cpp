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
  std::function<void(engine_test::EngineUnderTest&)> setup = {};  // before the step; none: nothing
  uint8_t next;
  std::string wire = {};
  std::vector<std::string> log = {};  // after the step's own line
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
const auto kErrorShown = With([](engine_test::EngineUnderTest& e) { e.ErrorShown = 1; });
const auto kAt38400 = With([](engine_test::EngineUnderTest& e) { e.SetBaud(38400); });

std::vector<Entry> Entries() {
  const std::string upload = "Sending S19 loader. FileSize:0";
  return {
      // eZa96Before
      {.name = "caret",
       .state = eZa96Before,
       .kind = kReplyAck,
       .setup = kErrorShown,
       .next = eCheckPort,
       .wire = "{SCPC}",
       .log = {Sent("{SCPC}")},
       .dialog = {"hide"}},
      {.name = "timeout, boot flag",
       .state = eZa96Before,
       .kind = kReplyTimeout,
       .setup = With([](engine_test::EngineUnderTest& e) { e.BootFlag = 1; }),
       .next = eU96,
       .wire = "U",
       .log = {Sent("U")}},
      {.name = "timeout",
       .state = eZa96Before,
       .kind = kReplyTimeout,
       .next = eZa384Before,
       .wire = "{ZA1}",
       .log = {Sent("{ZA1}", 38400)},
       .baud = 38400},
      {.name = "other kind changes nothing", .state = eZa96Before, .kind = kReplyT, .next = eZa96Before},
      // eZa96After
      {.name = "caret",
       .state = eZa96After,
       .kind = kReplyAck,
       .next = eSendPM,
       .wire = "{PM}",
       .log = {upload, Sent("{PM}")}},
      {.name = "timeout",
       .state = eZa96After,
       .kind = kReplyTimeout,
       .next = eZa96Last,
       .wire = "{ZA1}",
       .log = {"Failed to communicate at 38400 baud\r\nFalling back to 9600. But still no response from "
               "{ZA1} at "
               "9600.\r\nTurn indicator off and back in or, if on charge, remove and restore.",
               Sent("{ZA1}")},
       .dialog = {"show 2"}},
      // eCheckFlash: any answer, by the stored flash size, and so a timeout, unless no size ever came and the
      // check would refuse the firmware only for that: a lost answer then, and the indicator identified anew
      {.name = "no answer, large firmware: error 2, identified anew",
       .state = eCheckFlash,
       .kind = kReplyTimeout,
       .setup = With([](engine_test::EngineUnderTest& e) { e.FirmwareSize = 700002; }),
       .next = eZa96Before,
       .wire = "{ZA1}",
       .log = {"Can not receive flash size.", Sent("{ZA1}")},
       .dialog = {"show 2"},
       .baud = 9600},
      {.name = "no answer, large firmware, at 38400 with an error up: identified anew at 9600",
       .state = eCheckFlash,
       .kind = kReplyTimeout,
       .setup = With([](engine_test::EngineUnderTest& e) {
         e.FirmwareSize = 600001;
         e.ErrorShown = 1;
         e.SetBaud(38400);
       }),
       .next = eZa96Before,
       .wire = "{ZA1}",
       .log = {"Can not receive flash size.", Sent("{ZA1}")},
       .baud = 9600},
      {.name = "no answer, small firmware: on to {VC}, not asked again",
       .state = eCheckFlash,
       .kind = kReplyTimeout,
       .setup = With([](engine_test::EngineUnderTest& e) { e.FirmwareSize = 3002; }),
       .next = eRequestSCPVersion,
       .wire = "{VC}",
       .log = {Sent("{VC}")}},
      {.name = "no answer, 600000 bytes: on to {VC}",
       .state = eCheckFlash,
       .kind = kReplyTimeout,
       .setup = With([](engine_test::EngineUnderTest& e) { e.FirmwareSize = 600000; }),
       .next = eRequestSCPVersion,
       .wire = "{VC}",
       .log = {Sent("{VC}")}},
      {.name = "no answer with error 1 or 3 still up: on to {VC}, armed",
       .state = eCheckFlash,
       .kind = kReplyTimeout,
       .setup = kErrorShown,
       .next = eRequestSCPVersion,
       .wire = "{VC}",
       .log = {Sent("{VC}")}},
      {.name = "no answer now, a large flash stored before: on to {VC}",
       .state = eCheckFlash,
       .kind = kReplyTimeout,
       .setup = With([](engine_test::EngineUnderTest& e) {
         e.FlashSize = 2048;
         e.FirmwareSize = 700002;
       }),
       .next = eRequestSCPVersion,
       .wire = "{VC}",
       .log = {Sent("{VC}")}},
      {.name = "no answer now, a small flash stored before: error 4",
       .state = eCheckFlash,
       .kind = kReplyTimeout,
       .setup = With([](engine_test::EngineUnderTest& e) {
         e.FlashSize = 512;
         e.FirmwareSize = 700002;
       }),
       .next = eCheckFlash,
       .dialog = {"show 4"},
       .armed = false},
      {.name = "answer 0, large firmware: error 4",
       .state = eCheckFlash,
       .kind = kReplyAck,
       .setup = With([](engine_test::EngineUnderTest& e) { e.FirmwareSize = 700002; }),
       .next = eCheckFlash,
       .dialog = {"show 4"},
       .armed = false},
      {.name = "big flash, small image",
       .state = eCheckFlash,
       .kind = kReplyAck,
       .setup = With([](engine_test::EngineUnderTest& e) {
         e.FlashSize = 1024;
         e.FirmwareSize = 599999;
       }),
       .next = eCheckFlash,
       .dialog = {"show 4"},
       .armed = false},
      {.name = "small flash, big image",
       .state = eCheckFlash,
       .kind = kReplyAck,
       .setup = With([](engine_test::EngineUnderTest& e) {
         e.FlashSize = 1023;
         e.FirmwareSize = 600001;
       }),
       .next = eCheckFlash,
       .dialog = {"show 4"},
       .armed = false},
      {.name = "600000 always passes",
       .state = eCheckFlash,
       .kind = kReplyAck,
       .setup = With([](engine_test::EngineUnderTest& e) {
         e.FlashSize = 5;
         e.FirmwareSize = 600000;
       }),
       .next = eRequestSCPVersion,
       .wire = "{VC}",
       .log = {Sent("{VC}")}},
      // eRequestSCPVersion
      {.name = "1",
       .state = eRequestSCPVersion,
       .kind = kReplyScpOne,
       .next = eRequestVersion,
       .wire = "{VW}",
       .log = {Sent("{VW}")}},
      {.name = "higher",
       .state = eRequestSCPVersion,
       .kind = kReplyScpHigher,
       .next = eTurnErrorOn,
       .wire = "{ZE1}",
       .log = {Sent("{ZE1}")}},
      {.name = "timeout",
       .state = eRequestSCPVersion,
       .kind = kReplyTimeout,
       .next = eTurnErrorOn,
       .wire = "{ZE1}",
       .log = {Sent("{ZE1}")}},
      // eRequestVersion
      {.name = "1 at 9600",
       .state = eRequestVersion,
       .kind = kReplyVersionOne,
       .next = eFt96,
       .wire = "{FT}",
       .log = {Sent("{FT}")}},
      {.name = "1 at 38400",
       .state = eRequestVersion,
       .kind = kReplyVersionOne,
       .setup = kAt38400,
       .next = eFt384,
       .wire = "{FT}",
       .log = {Sent("{FT}", 38400)}},
      {.name = "higher",
       .state = eRequestVersion,
       .kind = kReplyVersionHigher,
       .next = eTurnErrorOn,
       .wire = "{ZE1}",
       .log = {Sent("{ZE1}")}},
      {.name = "timeout",
       .state = eRequestVersion,
       .kind = kReplyTimeout,
       .setup = kAt38400,
       .next = eZa96Before,
       .wire = "{ZA1}",
       .log = {Sent("{ZA1}")},
       .baud = 9600},
      // eTurnErrorOn
      {.name = "caret resets the retries",
       .state = eTurnErrorOn,
       .kind = kReplyAck,
       .setup = With([](engine_test::EngineUnderTest& e) { e.RetryCount = 2; }),
       .next = eCheckHeapAddress,
       .wire = "{PS420004,424FFF}",
       .log = {Sent("{PS420004,424FFF}")}},
      {.name = "timeout",
       .state = eTurnErrorOn,
       .kind = kReplyTimeout,
       .setup = kAt38400,
       .next = eZa96Before,
       .wire = "{ZA1}",
       .log = {Sent("{ZA1}")},
       .baud = 9600},
      // eCheckHeapAddress
      {.name = "FD",
       .state = eCheckHeapAddress,
       .kind = kReplyHeapFD,
       .next = eRequestVersion,
       .wire = "{VW}",
       .log = {Sent("{VW}")}},
      {.name = "F9",
       .state = eCheckHeapAddress,
       .kind = kReplyHeapF9,
       .next = eCheckHeapAddress,
       .armed = false,
       .messages = {"Message: Start, End address outside heap"},
       .finished = true},
      {.name = "14",
       .state = eCheckHeapAddress,
       .kind = kReplyHeap14,
       .next = eCheckHeapAddress,
       .armed = false,
       .messages = {std::string("Message: ") + kNoSpace},
       .finished = true},
      {.name = "hex at 9600",
       .state = eCheckHeapAddress,
       .kind = kReplyHeapOther,
       .setup = With([](engine_test::EngineUnderTest& e) { e.RetryCount = 1; }),
       .next = eSebx384,
       .wire = "{SEBX38400}",
       .log = {Sent("{SEBX38400}")}},
      {.name = "hex at 9600 with boot flag",
       .state = eCheckHeapAddress,
       .kind = kReplyHeapOther,
       .setup = With([](engine_test::EngineUnderTest& e) { e.BootFlag = 1; }),
       .next = eSendPM,
       .wire = "{PM}",
       .log = {upload, Sent("{PM}")}},
      {.name = "hex at 38400",
       .state = eCheckHeapAddress,
       .kind = kReplyHeapOther,
       .setup = kAt38400,
       .next = eSeha,
       .wire = "{SEHA1}",
       .log = {Sent("{SEHA1}", 38400)}},
      {.name = "first resend",
       .state = eCheckHeapAddress,
       .kind = kReplyTimeout,
       .next = eCheckHeapAddress,
       .wire = "{PS420004,424FFF}",
       .log = {Sent("{PS420004,424FFF}")}},
      {.name = "gives up after two resends",
       .state = eCheckHeapAddress,
       .kind = kReplyTimeout,
       .setup = With([](engine_test::EngineUnderTest& e) {
         e.RetryCount = 2;
         e.SetBaud(38400);
       }),
       .next = eZa96Before,
       .wire = "{ZA1}",
       .log = {Sent("{ZA1}")},
       .baud = 9600},
      // eSendU
      {.name = "T",
       .state = eSendU,
       .kind = kReplyT,
       .setup = kErrorShown,
       .next = eWaitV,
       .dialog = {"hide"},
       .interval = 30000},
      {.name = "timeout",
       .state = eSendU,
       .kind = kReplyTimeout,
       .next = eSendU,
       .wire = "U",
       .log = {"Can not receive T.", Sent("U")},
       .dialog = {"show 2"},
       .interval = 2000},
      {.name = "timeout with the dialog up",
       .state = eSendU,
       .kind = kReplyTimeout,
       .setup = kErrorShown,
       .next = eSendU,
       .wire = "U",
       .log = {"Can not receive T.", Sent("U")},
       .interval = 2000},
      {.name = "timeout after four more identifies the indicator again",
       .state = eSendU,
       .kind = kReplyTimeout,
       .setup = With([](engine_test::EngineUnderTest& e) {
         e.RetryCount = 4;
         e.SetBaud(38400);
       }),
       .next = eZa96Before,
       .wire = "{ZA1}",
       .log = {"Can not receive T.", Sent("{ZA1}")},
       .dialog = {"show 2"},
       .baud = 9600},
      // eZa384Before
      {.name = "caret",
       .state = eZa384Before,
       .kind = kReplyAck,
       .setup = kAt38400,
       .next = eCheckPort,
       .wire = "{SCPC}",
       .log = {Sent("{SCPC}", 38400)}},
      {.name = "timeout",
       .state = eZa384Before,
       .kind = kReplyTimeout,
       .setup = kAt38400,
       .next = eU384,
       .wire = "U",
       .log = {Sent("U", 38400)},
       .baud = 38400},
      // eZa96Last
      {.name = "caret",
       .state = eZa96Last,
       .kind = kReplyAck,
       .setup = kErrorShown,
       .next = eSendPM,
       .wire = "{PM}",
       .log = {upload, Sent("{PM}")},
       .dialog = {"hide"}},
      {.name = "timeout",
       .state = eZa96Last,
       .kind = kReplyTimeout,
       .next = eZa96Before,
       .wire = "{ZA1}",
       .log = {"Failed to re-communicate at 9600.", Sent("{ZA1}")},
       .dialog = {"show 2"}},
      // eZa384After, eZa384Retry
      {.name = "caret",
       .state = eZa384After,
       .kind = kReplyAck,
       .setup = kAt38400,
       .next = eSeha,
       .wire = "{SEHA1}",
       .log = {Sent("{SEHA1}", 38400)}},
      {.name = "timeout",
       .state = eZa384After,
       .kind = kReplyTimeout,
       .setup = kAt38400,
       .next = eZa384Retry,
       .wire = "{ZA1}",
       .log = {Sent("{ZA1}", 38400)}},
      {.name = "caret",
       .state = eZa384Retry,
       .kind = kReplyAck,
       .setup = kAt38400,
       .next = eSeha,
       .wire = "{SEHA1}",
       .log = {Sent("{SEHA1}", 38400)}},
      {.name = "timeout",
       .state = eZa384Retry,
       .kind = kReplyTimeout,
       .setup = kAt38400,
       .next = eZa96After,
       .wire = "{ZA1}",
       .log = {Sent("{ZA1}")},
       .baud = 9600},
      // eSebx384
      {.name = "caret",
       .state = eSebx384,
       .kind = kReplyAck,
       .next = eZa384After,
       .wire = "{ZA1}",
       .log = {Sent("{ZA1}", 38400)},
       .baud = 38400},
      {.name = "resend",
       .state = eSebx384,
       .kind = kReplyTimeout,
       .setup = With([](engine_test::EngineUnderTest& e) { e.RetryCount = 1; }),
       .next = eSebx384,
       .wire = "{SEBX38400}",
       .log = {Sent("{SEBX38400}")}},
      {.name = "third silence uploads at 9600",
       .state = eSebx384,
       .kind = kReplyTimeout,
       .setup = With([](engine_test::EngineUnderTest& e) { e.RetryCount = 2; }),
       .next = eSendPM,
       .wire = "{PM}",
       .log = {upload, Sent("{PM}")},
       .baud = 9600},
      // eU384, eU96
      {.name = "T", .state = eU384, .kind = kReplyT, .setup = kAt38400, .next = eWaitV, .interval = 30000},
      {.name = "timeout",
       .state = eU384,
       .kind = kReplyTimeout,
       .setup = kAt38400,
       .next = eU96,
       .wire = "U",
       .log = {Sent("U")},
       .baud = 9600},
      {.name = "T", .state = eU96, .kind = kReplyT, .next = eWaitV, .interval = 30000},
      // eWaitV
      {.name = "V sends the size",
       .state = eWaitV,
       .kind = kReplyV,
       .setup = With([](engine_test::EngineUnderTest& e) { e.FirmwareSize = 123456; }),
       .next = eWaitW,
       .wire = std::string("\x40\xE2\x01\x00", 4),
       .log = {"FirmwareSize is :  123456"},
       .interval = 3000},
      {.name = "timeout",
       .state = eWaitV,
       .kind = kReplyTimeout,
       .next = eSendU,
       .wire = "U",
       .log = {"Erasing firmware failed.", Sent("U")},
       .dialog = {"show 2"},
       .interval = 2000},
      // eFt96, eFt384
      {.name = "too big",
       .state = eFt96,
       .kind = kReplyFtTooBig,
       .next = eFt96,
       .armed = false,
       .messages = {std::string("Message: ") + kNoSpace},
       .finished = true},
      {.name = "fits at 9600",
       .state = eFt96,
       .kind = kReplyFtFits,
       .setup = With([](engine_test::EngineUnderTest& e) { e.RetryCount = 2; }),
       .next = eSebx384,
       .wire = "{SEBX38400}",
       .log = {Sent("{SEBX38400}")}},
      {.name = "fits at 38400",
       .state = eFt384,
       .kind = kReplyFtFits,
       .setup = kAt38400,
       .next = eSeha,
       .wire = "{SEHA1}",
       .log = {Sent("{SEHA1}", 38400)}},
      {.name = "timeout at 9600 asks again",
       .state = eFt96,
       .kind = kReplyTimeout,
       .next = eFt96,
       .wire = "{FT}",
       .log = {"This indicator does not response to check file recordes.", Sent("{FT}")},
       .dialog = {"show 2"}},
      {.name = "timeout at 9600 after two more",
       .state = eFt96,
       .kind = kReplyTimeout,
       .setup = With([](engine_test::EngineUnderTest& e) { e.RetryCount = 2; }),
       .next = eZa96Before,
       .wire = "{ZA1}",
       .log = {"This indicator does not response to check file recordes.", Sent("{ZA1}")},
       .dialog = {"show 2"},
       .baud = 9600},
      {.name = "timeout at 38400",
       .state = eFt384,
       .kind = kReplyTimeout,
       .setup = kAt38400,
       .next = eZa96Before,
       .wire = "{ZA1}",
       .log = {"This indicator does not response to check file recordes.", Sent("{ZA1}")},
       .dialog = {"show 2"},
       .baud = 9600},
      // eSeha
      {.name = "caret",
       .state = eSeha,
       .kind = kReplyAck,
       .setup = kAt38400,
       .next = eSendPM,
       .wire = "{PM}",
       .log = {upload, Sent("{PM}", 38400)}},
      {.name = "resend",
       .state = eSeha,
       .kind = kReplyTimeout,
       .setup = kAt38400,
       .next = eSeha,
       .wire = "{SEHA1}",
       .log = {Sent("{SEHA1}", 38400)},
       .dialog = {"show 2"}},
      {.name = "gives up",
       .state = eSeha,
       .kind = kReplyTimeout,
       .setup = With([](engine_test::EngineUnderTest& e) {
         e.SetBaud(38400);
         e.RetryCount = 2;
       }),
       .next = eZa96Before,
       .wire = "{ZA1}",
       .log = {"No acknowledge to SEHA command.", Sent("{ZA1}")},
       .dialog = {"show 2"},
       .baud = 9600},
      // eWaitW
      {.name = "timeout",
       .state = eWaitW,
       .kind = kReplyTimeout,
       .next = eSendU,
       .wire = "U",
       .log = {"Can not receive W. Sending firmware size failed.", Sent("U")},
       .dialog = {"show 2"},
       .interval = 2000},
      // eWaitX
      {.name = "X sends the CRC",
       .state = eWaitX,
       .kind = kReplyX,
       .setup = With([](engine_test::EngineUnderTest& e) { e.Crc = 0x1234; }),
       .next = eWaitY,
       .wire = std::string("\x34\x12", 2),
       .log = {"Send out crc is: 4660 18"}},
      {.name = "timeout",
       .state = eWaitX,
       .kind = kReplyTimeout,
       .next = eSendU,
       .wire = "U",
       .log = {"Data transfer failed. Did not receive x", Sent("U")},
       .dialog = {"show 2"},
       .interval = 2000},
      // eWaitY
      {.name = "Y", .state = eWaitY, .kind = kReplyY, .next = eWaitY, .armed = false, .finished = true},
      {.name = "timeout shows the error even when up",
       .state = eWaitY,
       .kind = kReplyTimeout,
       .setup = kErrorShown,
       .next = eSendU,
       .wire = "U",
       .log = {"Download not OK.(Already receive X,but crc not correct,did not receive y)", Sent("U")},
       .dialog = {"show 2"},
       .interval = 2000},
      // eSendPM
      {.name = "timeout",
       .state = eSendPM,
       .kind = kReplyTimeout,
       .setup = kAt38400,
       .next = eZa96Before,
       .wire = "{ZA1}",
       .log = {"PM not acknowledged.", Sent("{ZA1}", 38400)},
       .dialog = {"show 2"},
       .baud = 38400},
      // eWaitQ
      {.name = "Q",
       .state = eWaitQ,
       .kind = kReplyQ,
       .next = eSendU,
       .wire = "U",
       .log = {Sent("U")},
       .interval = 2000},
      {.name = "timeout",
       .state = eWaitQ,
       .kind = kReplyTimeout,
       .next = eUploadZA,
       .wire = "{ZA1}",
       .log = {Sent("{ZA1}")}},
      {.name = "B after the upload changes nothing",
       .state = eWaitQ,
       .kind = kReplyB,
       .next = eWaitQ,
       .interval = 30000},
      // eUploadZA
      {.name = "caret",
       .state = eUploadZA,
       .kind = kReplyAck,
       .setup = kErrorShown,
       .next = eSendPM,
       .wire = "{PM}",
       .log = {"Can not receive Q but can still talk to indicator.", upload, Sent("{PM}")},
       .dialog = {"show 2"}},
      {.name = "timeout",
       .state = eUploadZA,
       .kind = kReplyTimeout,
       .setup = kErrorShown,
       .next = eSendPM,
       .wire = "{PM}",
       .log = {"Can not receive Q and can not talk to indicator.", upload, Sent("{PM}")}},
      // eCheckPort
      {.name = "not bluetooth",
       .state = eCheckPort,
       .kind = kReplyNotBluetooth,
       .next = eCheckFlash,
       .wire = "{VFSH}",
       .log = {"Not a bluetooth port, move on to checking flash", Sent("{VFSH}")}},
      {.name = "timeout asks again",
       .state = eCheckPort,
       .kind = kReplyTimeout,
       .next = eCheckPort,
       .wire = "{SCPC}",
       .log = {Sent("{SCPC}")}},
      {.name = "timeout after two more identifies again",
       .state = eCheckPort,
       .kind = kReplyTimeout,
       .setup = With([](engine_test::EngineUnderTest& e) { e.RetryCount = 2; }),
       .next = eZa96Before,
       .wire = "{ZA1}",
       .log = {Sent("{ZA1}")},
       .baud = 9600},
      // eUpload: a timeout only comes when the port went away during the upload and is back
      {.name = "timeout starts the upload over",
       .state = eUpload,
       .kind = kReplyTimeout,
       .next = eSendPM,
       .wire = "{PM}",
       .log = {upload, Sent("{PM}")}},
  };
}

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

TEST_F(Transitions, EveryEntry) {
  for (const Entry& entry : Entries()) {
    SCOPED_TRACE(std::string(StateNames[entry.state]) + ": " + entry.name);
    auto& pty = CreateOnCom4();
    dialog.calls.clear();
    messages.clear();
    if (entry.setup) entry.setup(*engine);
    engine->TimeoutTimer->SetInterval(1000);
    engine->State = entry.state;
    StepWith(entry.kind);
    EXPECT_EQ(StateNames[entry.next], std::string(StateNames[engine->State]));
    EXPECT_EQ(entry.wire, pty.Receive(entry.wire.size(), 1000));
    EXPECT_EQ("", pty.Receive(1, 20));
    ASSERT_FALSE(window.log.empty());
    // What the port's closes cut is told once it is released, never by Finish, which leaves it open.
    std::vector<std::string> after;
    bool cutLine = false;
    for (auto line = window.log.begin() + 1; line != window.log.end(); ++line) {
      if (line->rfind("Serial transfers cut short: ", 0) == 0) {
        cutLine = true;
      } else {
        after.push_back(*line);
      }
    }
    EXPECT_EQ(entry.log, after);
    EXPECT_FALSE(cutLine);
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
