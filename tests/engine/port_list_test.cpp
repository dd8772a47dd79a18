// The scan over ports the technician named: only those, in the order given, ending its round as the default
// scan does after Com25.
#include "tests/engine/harness.h"

using namespace engine;
using engine_test::EngineTest;

namespace {

std::string CannotOpen(const std::string& label) {
  return "\r\nCan not open " + label + " to communicate";
}

TEST(PortCandidates, EachNameGoesByItsDeviceAndItsLogNames) {
  struct Case {
    const char* given;
    const char* device;  // also its label
    const char* onLine;
  } const cases[] = {
      {"COM37", "Com37", "COM37"},
      {"com3", "Com3", "COM3"},
      {"\\\\.\\COM37", "Com37", "COM37"},
      {"Com255", "Com255", "COM255"},
      {"/dev/ttyUSB0", "/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"rfc2217://scale-7:2001", "rfc2217://scale-7:2001", "rfc2217://scale-7:2001"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    const auto list = PortCandidates({c.given});
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ(c.given, list[0].Name);
    EXPECT_EQ(c.device, list[0].Device);
    EXPECT_EQ(c.onLine, list[0].OnLine);
  }
}

using NamedPorts = EngineTest;

TEST_F(NamedPorts, TheIndicatorOnTheSecondNameIsFoundAndNoOtherPortIsTried) {
  ports.Add(1);  // present, but not named: never opened
  auto& device = ports.Add(9);
  Create();
  engine->SetPortNames({"COM7", device.path()});
  engine->Start(0);
  EXPECT_EQ("{ZA1}", device.Receive(5, 2000));
  EXPECT_EQ(2, engine->PortNumber);
  EXPECT_EQ(1, engine->PortOpenMarks[2]);
  EXPECT_TRUE(Logged(CannotOpen("Com7")));
  EXPECT_TRUE(Logged("Sending {ZA1} at 9600 baud rate on " + device.path() + ". Timeout set to 1000"));
  for (const std::string& line : window.log) {
    EXPECT_EQ(std::string::npos, line.find("Com1 ")) << line;
    EXPECT_EQ(std::string::npos, line.find("COM1.")) << line;
  }
  EXPECT_TRUE(dialog.calls.empty());

  // The first answer names the port as given, once per port and rate.
  Chunk("^");
  Chunk("^");
  EXPECT_EQ(std::vector<std::string>{device.path() + " | " + device.path() + " | 9600"}, window.answering);
  engine->Finish();
}

TEST_F(NamedPorts, ARoundOverTheListEndsWithTheScansErrorCode) {
  // A named port that is missing gets its reason, unlike the many names of the default scan.
  const auto tried = [&](int n) {
    const std::string com = "Com" + std::to_string(n);
    return std::vector<std::string>{
        "Port is not installedon " + com + " Actual error code is -2",
        "  (" + ports.Link(n) +
            ": No such file or directory (no such serial device; is the adapter plugged in?))",
        CannotOpen(com)};
  };
  const auto join = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<std::string> bothThenNone =
      join(join(tried(7), tried(8)), {"No serial port available in this computer"});
  struct Case {
    const char* what;
    int openedBefore;  // the entry marked as opened at an earlier scan; 0: none
    int first;
    const char* call;
    std::vector<std::string> log;
  } const cases[] = {
      {"nothing opens", 0, 1, "show 3", bothThenNone},
      {"the first opened before and is not retried yet", 1, 2, "show 1", join(tried(8), tried(7))},
      {"the second opened before and is retried first", 2, 1, "show 3", bothThenNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Create();
    engine->SetPortNames({"COM7", "\\\\.\\COM8"});
    dialog.calls.clear();
    window.log.clear();
    if (c.openedBefore > 0) engine->PortOpenMarks[static_cast<size_t>(c.openedBefore)] = 1;
    engine->OpenPort(c.first);
    EXPECT_FALSE(engine->Port->Connected());
    EXPECT_EQ(c.first, engine->PortNumber);
    EXPECT_EQ(std::vector<std::string>{c.call}, dialog.calls);
    EXPECT_EQ(c.log, window.log);
    engine.reset();
  }
}

TEST_F(NamedPorts, ASilentIndicatorOnTheOnlyNameShowsCodeOneAndItIsAskedAgain) {
  auto& device = ports.Add(9);
  Create();
  engine->SetPortNames({device.path()});
  engine->Start(0);
  EXPECT_EQ("{ZA1}", device.Receive(5, 2000));
  int steps = StepLines();
  for (const char* command : {"{ZA1}", "U", "U"}) {
    rt.Advance(1000);
    ASSERT_TRUE(WaitSteps(++steps));
    EXPECT_EQ(command, device.Receive(std::string(command).size(), 2000));
  }
  EXPECT_EQ(eU96, engine->State);
  rt.Advance(1000);
  ASSERT_TRUE(WaitSteps(++steps));
  EXPECT_EQ(eZa96Before, engine->State);
  EXPECT_EQ(1, engine->PortNumber);
  EXPECT_EQ(std::vector<std::string>{"show 1"}, dialog.calls);
  EXPECT_EQ("{ZA1}", device.Receive(5, 2000));
  EXPECT_TRUE(window.answering.empty());
  engine->Finish();
}

TEST_F(NamedPorts, TheDefaultScanReportsItsComName) {
  auto& com4 = CreateOnCom4();
  engine->State = eZa96Before;
  engine->SendCommand("{ZA1}");
  EXPECT_EQ("{ZA1}", com4.Receive(5, 2000));
  Chunk("\x13 noise");  // bytes, but no reply: no indicator yet
  EXPECT_TRUE(window.answering.empty());
  Chunk("^");
  engine->SetBaud(38400);
  engine->SendCommand("{ZA1}");
  Chunk("^");
  EXPECT_EQ((std::vector<std::string>{"Com4 | Com4 | 9600", "Com4 | Com4 | 38400"}), window.answering);
}

}  // namespace
