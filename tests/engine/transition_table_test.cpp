// The transition table, entry by entry: from a state and a reply kind, one step on an open Com4; then the
// state reached, the bytes on the wire, the log lines, the error-dialog calls and the timeout armed.
#include <functional>

#include "tests/engine/harness.h"

using namespace engine;
using engine_test::EngineTest;
using engine_test::EngineUnderTest;
using Lines = std::vector<std::string>;

namespace {

using TransitionTable = EngineTest;

std::string Sent(const std::string& command, int baud = 9600) {
  return "Sending " + command + " at " + std::to_string(baud) + " baud rate on COM4. Timeout set to 1000";
}
template <class... Text>
Lines L(const Text&... lines) {
  return {std::string(lines)...};
}
Lines Maybe(const std::string& line) {
  return line.empty() ? Lines{} : Lines{line};
}

// Set-ups before the step, in the order they are added.
using Setup = std::function<void(EngineUnderTest&)>;
Setup operator+(Setup a, Setup b) {
  return [a, b](EngineUnderTest& e) {
    a(e);
    b(e);
  };
}
const Setup kErrorShown = [](EngineUnderTest& e) { e.ErrorShown = 1; };
const Setup kBootFlag = [](EngineUnderTest& e) { e.BootFlag = 1; };
const Setup kAt38400 = [](EngineUnderTest& e) { e.SetBaud(38400); };
const auto Firmware = [](uint32_t n) -> Setup { return [n](EngineUnderTest& e) { e.FirmwareSize = n; }; };
const auto Flash = [](int32_t n) -> Setup { return [n](EngineUnderTest& e) { e.FlashSize = n; }; };
const auto Retries = [](int32_t n) -> Setup { return [n](EngineUnderTest& e) { e.RetryCount = n; }; };
const auto Crc = [](uint16_t crc) -> Setup { return [crc](EngineUnderTest& e) { e.Crc = crc; }; };

const char* kNoSpace = "This indicator does not have enough space. Delete some files in the indicator first.";

// How a step leaves the engine: its timeout armed, standing still with none, or finished.
enum Ending { kArmed, kStill, kFinished };

struct Entry {
  const char* name;
  uint8_t state, kind;
  Setup setup;  // nullptr: nothing
  uint8_t next;
  std::string wire = {};
  Lines log = {};           // after the step's own line
  std::string dialog = {};  // the one error-dialog call, if any
  int baud = 0;             // the rate the port runs at afterwards (0: not checked)
  uint32_t interval = 1000;
  Ending ending = kArmed;
  std::string message = {};  // the one message box, if any
};

// Each row: name, state, reply kind, set-up, state reached, wire, log, dialog call, rate afterwards, timeout
// interval, ending, message box.
std::vector<Entry> Entries() {
  const std::string upload = "Sending S19 loader. FileSize:0";
  const std::string noSpace = std::string("Message: ") + kNoSpace;
  return {
      // eZa96Before
      {"caret", eZa96Before, kReplyAck, kErrorShown, eCheckPort, "{SCPC}", L(Sent("{SCPC}")), "hide"},
      {"timeout, boot flag", eZa96Before, kReplyTimeout, kBootFlag, eU96, "U", L(Sent("U"))},
      {"timeout", eZa96Before, kReplyTimeout, nullptr, eZa384Before, "{ZA1}", L(Sent("{ZA1}", 38400)), "",
       38400},
      {"other kind changes nothing", eZa96Before, kReplyT, nullptr, eZa96Before},
      // eZa96After
      {"caret", eZa96After, kReplyAck, nullptr, eSendPM, "{PM}", L(upload, Sent("{PM}"))},
      {"timeout", eZa96After, kReplyTimeout, nullptr, eZa96Last, "{ZA1}",
       L("Failed to communicate at 38400 baud\r\nFalling back to 9600. But still no response from {ZA1} at "
         "9600.\r\nTurn indicator off and back in or, if on charge, remove and restore.",
         Sent("{ZA1}")),
       "show 2"},
      // eCheckFlash: any answer, by the stored flash size, and so a timeout, unless no size ever came and the
      // check would refuse the firmware only for that: a lost answer then, and the indicator identified anew
      {"no answer, large firmware: error 2, identified anew", eCheckFlash, kReplyTimeout, Firmware(700002),
       eZa96Before, "{ZA1}", L("Can not receive flash size.", Sent("{ZA1}")), "show 2", 9600},
      {"no answer, large firmware, at 38400 with an error up: identified anew at 9600", eCheckFlash,
       kReplyTimeout, Firmware(600001) + kErrorShown + kAt38400, eZa96Before, "{ZA1}",
       L("Can not receive flash size.", Sent("{ZA1}")), "", 9600},
      {"no answer, small firmware: on to {VC}, not asked again", eCheckFlash, kReplyTimeout, Firmware(3002),
       eRequestSCPVersion, "{VC}", L(Sent("{VC}"))},
      {"no answer, 600000 bytes: on to {VC}", eCheckFlash, kReplyTimeout, Firmware(600000),
       eRequestSCPVersion, "{VC}", L(Sent("{VC}"))},
      {"no answer with error 1 or 3 still up: on to {VC}, armed", eCheckFlash, kReplyTimeout, kErrorShown,
       eRequestSCPVersion, "{VC}", L(Sent("{VC}"))},
      {"no answer now, a large flash stored before: on to {VC}", eCheckFlash, kReplyTimeout,
       Flash(2048) + Firmware(700002), eRequestSCPVersion, "{VC}", L(Sent("{VC}"))},
      {"no answer now, a small flash stored before: error 4", eCheckFlash, kReplyTimeout,
       Flash(512) + Firmware(700002), eCheckFlash, "", L(), "show 4", 0, 1000, kStill},
      {"answer 0, large firmware: error 4", eCheckFlash, kReplyAck, Firmware(700002), eCheckFlash, "", L(),
       "show 4", 0, 1000, kStill},
      {"big flash, small image", eCheckFlash, kReplyAck, Flash(1024) + Firmware(599999), eCheckFlash, "", L(),
       "show 4", 0, 1000, kStill},
      {"small flash, big image", eCheckFlash, kReplyAck, Flash(1023) + Firmware(600001), eCheckFlash, "", L(),
       "show 4", 0, 1000, kStill},
      {"600000 always passes", eCheckFlash, kReplyAck, Flash(5) + Firmware(600000), eRequestSCPVersion,
       "{VC}", L(Sent("{VC}"))},
      // eRequestSCPVersion
      {"1", eRequestSCPVersion, kReplyScpOne, nullptr, eRequestVersion, "{VW}", L(Sent("{VW}"))},
      {"higher", eRequestSCPVersion, kReplyScpHigher, nullptr, eTurnErrorOn, "{ZE1}", L(Sent("{ZE1}"))},
      {"timeout", eRequestSCPVersion, kReplyTimeout, nullptr, eTurnErrorOn, "{ZE1}", L(Sent("{ZE1}"))},
      // eRequestVersion
      {"1 at 9600", eRequestVersion, kReplyVersionOne, nullptr, eFt96, "{FT}", L(Sent("{FT}"))},
      {"1 at 38400", eRequestVersion, kReplyVersionOne, kAt38400, eFt384, "{FT}", L(Sent("{FT}", 38400))},
      {"higher", eRequestVersion, kReplyVersionHigher, nullptr, eTurnErrorOn, "{ZE1}", L(Sent("{ZE1}"))},
      {"timeout", eRequestVersion, kReplyTimeout, kAt38400, eZa96Before, "{ZA1}", L(Sent("{ZA1}")), "", 9600},
      // eTurnErrorOn
      {"caret resets the retries", eTurnErrorOn, kReplyAck, Retries(2), eCheckHeapAddress,
       "{PS420004,424FFF}", L(Sent("{PS420004,424FFF}"))},
      {"timeout", eTurnErrorOn, kReplyTimeout, kAt38400, eZa96Before, "{ZA1}", L(Sent("{ZA1}")), "", 9600},
      // eCheckHeapAddress
      {"FD", eCheckHeapAddress, kReplyHeapFD, nullptr, eRequestVersion, "{VW}", L(Sent("{VW}"))},
      {"F9", eCheckHeapAddress, kReplyHeapF9, nullptr, eCheckHeapAddress, "", L(), "", 0, 1000, kFinished,
       "Message: Start, End address outside heap"},
      {"14", eCheckHeapAddress, kReplyHeap14, nullptr, eCheckHeapAddress, "", L(), "", 0, 1000, kFinished,
       noSpace},
      {"hex at 9600", eCheckHeapAddress, kReplyHeapOther, Retries(1), eSebx384, "{SEBX38400}",
       L(Sent("{SEBX38400}"))},
      {"hex at 9600 with boot flag", eCheckHeapAddress, kReplyHeapOther, kBootFlag, eSendPM, "{PM}",
       L(upload, Sent("{PM}"))},
      {"hex at 38400", eCheckHeapAddress, kReplyHeapOther, kAt38400, eSeha, "{SEHA1}",
       L(Sent("{SEHA1}", 38400))},
      {"first resend", eCheckHeapAddress, kReplyTimeout, nullptr, eCheckHeapAddress, "{PS420004,424FFF}",
       L(Sent("{PS420004,424FFF}"))},
      {"gives up after two resends", eCheckHeapAddress, kReplyTimeout, Retries(2) + kAt38400, eZa96Before,
       "{ZA1}", L(Sent("{ZA1}")), "", 9600},
      // eSendU
      {"T", eSendU, kReplyT, kErrorShown, eWaitV, "", L(), "hide", 0, 30000},
      {"timeout", eSendU, kReplyTimeout, nullptr, eSendU, "U", L("Can not receive T.", Sent("U")), "show 2",
       0, 2000},
      {"timeout with the dialog up", eSendU, kReplyTimeout, kErrorShown, eSendU, "U",
       L("Can not receive T.", Sent("U")), "", 0, 2000},
      {"timeout after four more identifies the indicator again", eSendU, kReplyTimeout, Retries(4) + kAt38400,
       eZa96Before, "{ZA1}", L("Can not receive T.", Sent("{ZA1}")), "show 2", 9600},
      // eZa384Before
      {"caret", eZa384Before, kReplyAck, kAt38400, eCheckPort, "{SCPC}", L(Sent("{SCPC}", 38400))},
      {"timeout", eZa384Before, kReplyTimeout, kAt38400, eU384, "U", L(Sent("U", 38400)), "", 38400},
      // eZa96Last
      {"caret", eZa96Last, kReplyAck, kErrorShown, eSendPM, "{PM}", L(upload, Sent("{PM}")), "hide"},
      {"timeout", eZa96Last, kReplyTimeout, nullptr, eZa96Before, "{ZA1}",
       L("Failed to re-communicate at 9600.", Sent("{ZA1}")), "show 2"},
      // eZa384After, eZa384Retry
      {"caret", eZa384After, kReplyAck, kAt38400, eSeha, "{SEHA1}", L(Sent("{SEHA1}", 38400))},
      {"timeout", eZa384After, kReplyTimeout, kAt38400, eZa384Retry, "{ZA1}", L(Sent("{ZA1}", 38400))},
      {"caret", eZa384Retry, kReplyAck, kAt38400, eSeha, "{SEHA1}", L(Sent("{SEHA1}", 38400))},
      {"timeout", eZa384Retry, kReplyTimeout, kAt38400, eZa96After, "{ZA1}", L(Sent("{ZA1}")), "", 9600},
      // eSebx384
      {"caret", eSebx384, kReplyAck, nullptr, eZa384After, "{ZA1}", L(Sent("{ZA1}", 38400)), "", 38400},
      {"resend", eSebx384, kReplyTimeout, Retries(1), eSebx384, "{SEBX38400}", L(Sent("{SEBX38400}"))},
      {"third silence uploads at 9600", eSebx384, kReplyTimeout, Retries(2), eSendPM, "{PM}",
       L(upload, Sent("{PM}")), "", 9600},
      // eU384, eU96
      {"T", eU384, kReplyT, kAt38400, eWaitV, "", L(), "", 0, 30000},
      {"timeout", eU384, kReplyTimeout, kAt38400, eU96, "U", L(Sent("U")), "", 9600},
      {"T", eU96, kReplyT, nullptr, eWaitV, "", L(), "", 0, 30000},
      // eWaitV
      {"V sends the size", eWaitV, kReplyV, Firmware(123456), eWaitW, std::string("\x40\xE2\x01\x00", 4),
       L("FirmwareSize is :  123456"), "", 0, 3000},
      {"timeout", eWaitV, kReplyTimeout, nullptr, eSendU, "U", L("Erasing firmware failed.", Sent("U")),
       "show 2", 0, 2000},
      // eFt96, eFt384
      {"too big", eFt96, kReplyFtTooBig, nullptr, eFt96, "", L(), "", 0, 1000, kFinished, noSpace},
      {"fits at 9600", eFt96, kReplyFtFits, Retries(2), eSebx384, "{SEBX38400}", L(Sent("{SEBX38400}"))},
      {"fits at 38400", eFt384, kReplyFtFits, kAt38400, eSeha, "{SEHA1}", L(Sent("{SEHA1}", 38400))},
      {"timeout at 9600 asks again", eFt96, kReplyTimeout, nullptr, eFt96, "{FT}",
       L("This indicator does not response to check file recordes.", Sent("{FT}")), "show 2"},
      {"timeout at 9600 after two more", eFt96, kReplyTimeout, Retries(2), eZa96Before, "{ZA1}",
       L("This indicator does not response to check file recordes.", Sent("{ZA1}")), "show 2", 9600},
      {"timeout at 38400", eFt384, kReplyTimeout, kAt38400, eZa96Before, "{ZA1}",
       L("This indicator does not response to check file recordes.", Sent("{ZA1}")), "show 2", 9600},
      // eSeha
      {"caret", eSeha, kReplyAck, kAt38400, eSendPM, "{PM}", L(upload, Sent("{PM}", 38400))},
      {"resend", eSeha, kReplyTimeout, kAt38400, eSeha, "{SEHA1}", L(Sent("{SEHA1}", 38400)), "show 2"},
      {"gives up", eSeha, kReplyTimeout, kAt38400 + Retries(2), eZa96Before, "{ZA1}",
       L("No acknowledge to SEHA command.", Sent("{ZA1}")), "show 2", 9600},
      // eWaitW
      {"timeout", eWaitW, kReplyTimeout, nullptr, eSendU, "U",
       L("Can not receive W. Sending firmware size failed.", Sent("U")), "show 2", 0, 2000},
      // eWaitX
      {"X sends the CRC", eWaitX, kReplyX, Crc(0x1234), eWaitY, std::string("\x34\x12", 2),
       L("Send out crc is: 4660 18")},
      {"timeout", eWaitX, kReplyTimeout, nullptr, eSendU, "U",
       L("Data transfer failed. Did not receive x", Sent("U")), "show 2", 0, 2000},
      // eWaitY
      {"Y", eWaitY, kReplyY, nullptr, eWaitY, "", L(), "", 0, 1000, kFinished},
      {"timeout shows the error even when up", eWaitY, kReplyTimeout, kErrorShown, eSendU, "U",
       L("Download not OK.(Already receive X,but crc not correct,did not receive y)", Sent("U")), "show 2", 0,
       2000},
      // eSendPM
      {"timeout", eSendPM, kReplyTimeout, kAt38400, eZa96Before, "{ZA1}",
       L("PM not acknowledged.", Sent("{ZA1}", 38400)), "show 2", 38400},
      // eWaitQ
      {"Q", eWaitQ, kReplyQ, nullptr, eSendU, "U", L(Sent("U")), "", 0, 2000},
      {"timeout", eWaitQ, kReplyTimeout, nullptr, eUploadZA, "{ZA1}", L(Sent("{ZA1}"))},
      {"B after the upload changes nothing", eWaitQ, kReplyB, nullptr, eWaitQ, "", L(), "", 0, 30000},
      // eUploadZA
      {"caret", eUploadZA, kReplyAck, kErrorShown, eSendPM, "{PM}",
       L("Can not receive Q but can still talk to indicator.", upload, Sent("{PM}")), "show 2"},
      {"timeout", eUploadZA, kReplyTimeout, kErrorShown, eSendPM, "{PM}",
       L("Can not receive Q and can not talk to indicator.", upload, Sent("{PM}"))},
      // eCheckPort
      {"not bluetooth", eCheckPort, kReplyNotBluetooth, nullptr, eCheckFlash, "{VFSH}",
       L("Not a bluetooth port, move on to checking flash", Sent("{VFSH}"))},
      {"timeout asks again", eCheckPort, kReplyTimeout, nullptr, eCheckPort, "{SCPC}", L(Sent("{SCPC}"))},
      {"timeout after two more identifies again", eCheckPort, kReplyTimeout, Retries(2), eZa96Before, "{ZA1}",
       L(Sent("{ZA1}")), "", 9600},
      // eUpload: a timeout only comes when the port went away during the upload and is back
      {"timeout starts the upload over", eUpload, kReplyTimeout, nullptr, eSendPM, "{PM}",
       L(upload, Sent("{PM}"))},
  };
}

TEST_F(TransitionTable, EveryEntry) {
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
    Lines after;
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
    EXPECT_EQ(Maybe(entry.dialog), dialog.calls);
    EXPECT_EQ(Maybe(entry.message), messages);
    EXPECT_EQ(entry.ending == kFinished, engine->Terminated());
    if (entry.ending != kFinished) {
      EXPECT_EQ(entry.interval, engine->TimeoutTimer->Interval());
      EXPECT_EQ(entry.interval - 200, engine->PollTimer->Interval());
      EXPECT_EQ(entry.ending == kArmed, engine->TimeoutTimer->Enabled());
      EXPECT_EQ(entry.ending == kArmed, engine->PollTimer->Enabled());
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

}  // namespace
