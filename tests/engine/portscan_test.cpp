#include "tests/engine/harness.h"

using namespace engine;
using engine_test::EngineTest;

namespace {

std::string NotInstalled(int n) {
  return "Port is not installedon Com" + std::to_string(n) + " Actual error code is -2";
}
std::string CannotOpen(int n) {
  return "\r\nCan not open Com" + std::to_string(n) + " to communicate";
}

using PortScan = EngineTest;

TEST_F(PortScan, OnlyCom4PresentFromCom1) {
  ports.Add(4);
  Create();
  window.log.clear();
  const int64_t before = rt.VirtualMs();
  engine->OpenPort(1);
  EXPECT_GE(rt.VirtualMs() - before, 200);  // the pause before the scan
  EXPECT_EQ((std::vector<std::string>{NotInstalled(1), CannotOpen(1), NotInstalled(2), CannotOpen(2),
                                      NotInstalled(3), CannotOpen(3)}),
            window.log);
  EXPECT_TRUE(engine->Port->Connected());
  EXPECT_EQ(4, engine->PortNumber);
  EXPECT_EQ(1, engine->PortOpenMarks[4]);
  EXPECT_EQ(0, engine->PortOpenMarks[1]);
  EXPECT_TRUE(dialog.calls.empty());
}

TEST_F(PortScan, NoPortAtAllShowsCodeThreeAtTheWrap) {
  Create();
  window.log.clear();
  engine->OpenPort(5);
  EXPECT_FALSE(engine->Port->Connected());
  EXPECT_EQ(5, engine->PortNumber);
  EXPECT_EQ(std::vector<std::string>{"show 3"}, dialog.calls);
  EXPECT_EQ(1, engine->ErrorShown);
  // 21 ports before the wrap, then the message, then 1 to 4.
  ASSERT_EQ(2u * 25 + 1, window.log.size());
  EXPECT_EQ(CannotOpen(25), window.log[41]);
  EXPECT_EQ("No serial port available in this computer", window.log[42]);
  EXPECT_EQ(NotInstalled(1), window.log[43]);
  EXPECT_EQ(CannotOpen(4), window.log.back());
}

TEST_F(PortScan, CodeOneWhileAPortThatOpenedBeforeIsNotRetriedYet) {
  Create();
  engine->PortOpenMarks[2] = 1;  // Com2 opened at an earlier scan; now nothing opens
  engine->OpenPort(5);
  EXPECT_EQ(std::vector<std::string>{"show 1"}, dialog.calls);
  EXPECT_EQ(0, engine->PortOpenMarks[2]);

  dialog.calls.clear();
  engine->ErrorShown = 0;
  engine->PortOpenMarks[2] = 1;
  engine->OpenPort(1);  // Com2 is retried (and fails) before the wrap
  EXPECT_EQ(std::vector<std::string>{"show 3"}, dialog.calls);

  dialog.calls.clear();
  engine->OpenPort(1);  // the dialog is still up: nothing more
  EXPECT_TRUE(dialog.calls.empty());
}

TEST_F(PortScan, SetBaudChangesThePortOnlyBetweenTheTwoRates) {
  auto& pty = CreateOnCom4();
  engine->SetBaud(38400);
  EXPECT_EQ(38400, engine->CurrentBaud);
  termios t = pty.Settings();
  EXPECT_EQ(B38400, cfgetospeed(&t));
  engine->SetBaud(38400);
  engine->SetBaud(19200);
  EXPECT_EQ(19200, engine->CurrentBaud);
  EXPECT_EQ(serial::br38400, engine->Port->BaudRate());
  engine->SetBaud(9600);
  t = pty.Settings();
  EXPECT_EQ(B9600, cfgetospeed(&t));
}

TEST_F(PortScan, SendCommandWritesExactlyTheTextAndLogsTheOldInterval) {
  auto& pty = CreateOnCom4();
  engine->TimeoutTimer->SetInterval(2000);
  engine->RxPos = 17;
  rt.Advance(5);
  engine->SendCommand("U");
  EXPECT_EQ("U", pty.Receive(1, 1000));
  EXPECT_EQ("", pty.Receive(1, 20));
  EXPECT_EQ(1, engine->RxPos);
  EXPECT_EQ("Sending U at 9600 baud rate on COM4. Timeout set to 2000", window.log.back());
  EXPECT_DOUBLE_EQ(rt.Now(), engine->WaitStart);

  window.log.clear();
  rt.Advance(5);
  engine->RxPos = 9;
  engine->SendCommand("");
  EXPECT_TRUE(window.log.empty());
  EXPECT_EQ(9, engine->RxPos);
  EXPECT_DOUBLE_EQ(rt.Now(), engine->WaitStart);
  EXPECT_EQ("", pty.Receive(1, 20));

  // Longer than the send buffer: refused, nothing written.
  engine->SendCommand(std::string(101, '{'));
  EXPECT_EQ("", pty.Receive(1, 50));
  engine->SendCommand(std::string(100, 'x'));
  EXPECT_EQ(std::string(100, 'x'), pty.Receive(100, 1000));
}

TEST_F(PortScan, CommErrorLinesAndTheIgnoredCode) {
  CreateOnCom4();
  engine->CommError(nullptr, -1);
  EXPECT_TRUE(window.log.empty());
  engine->CommError(nullptr, -5);
  engine->CommError(nullptr, 0x0400);
  EXPECT_EQ(
      (std::vector<std::string>{
          "Write erroron Com4 Actual error code is -5",
          " An I/O error occurred during communications with the deviceon Com4 Actual error code is 1024"}),
      window.log);
}

TEST_F(PortScan, SilentOnTheLastPortMovesOnWithCodeOne) {
  auto& com4 = CreateOnCom4();
  engine->State = eU96;
  StepWith(kReplyTimeout);
  // Com5..Com25 fail, the wrap shows code 1 (Com4 opened before), Com1..Com3 fail, Com4 opens again.
  EXPECT_EQ(std::vector<std::string>{"show 1"}, dialog.calls);
  EXPECT_EQ(4, engine->PortNumber);
  EXPECT_EQ(eZa96Before, engine->State);
  EXPECT_EQ("{ZA1}", com4.Receive(5, 1000));
}

TEST_F(PortScan, CodeOneOnlyWhenPortTwentyFiveWasTheSilentOne) {
  ports.Add(25);
  auto& com1 = ports.Add(1);
  Create();
  engine->OpenPort(25);
  ASSERT_EQ(25, engine->PortNumber);
  engine->State = eU96;
  StepWith(kReplyTimeout);
  EXPECT_EQ(std::vector<std::string>{"show 1"}, dialog.calls);
  EXPECT_EQ(1, engine->PortNumber);
  EXPECT_EQ("{ZA1}", com1.Receive(5, 1000));
}

TEST_F(PortScan, BluetoothPortIsSkipped) {
  ports.Add(4);
  auto& com6 = ports.Add(6);
  Create();
  engine->OpenPort(4);
  window.log.clear();
  engine->State = eCheckPort;
  StepWith(kReplyBluetooth);
  EXPECT_EQ("Cannot update over a bluetooth port, skipping", window.log[1]);
  EXPECT_EQ(6, engine->PortNumber);
  EXPECT_EQ("{ZA1}", com6.Receive(5, 1000));
}

TEST_F(PortScan, ReadyOpenRepeatsEverySecondUntilAPortOpens) {
  Create();
  engine->Start(0);
  EXPECT_EQ(eReadyOpen, engine->State);
  EXPECT_EQ(std::vector<std::string>{"show 3"}, dialog.calls);
  EXPECT_TRUE(engine->TimeoutTimer->Enabled());
  auto& com2 = ports.Add(2);
  rt.Advance(1000);
  ASSERT_TRUE(rt.RunUntil([&] { return engine->State == eZa96Before; }, 5000));
  EXPECT_EQ(2, engine->PortNumber);
  EXPECT_EQ("{ZA1}", com2.Receive(5, 1000));
}

TEST_F(PortScan, TheFirstAnswerPinsTheDeviceAndTheNextPortLetsItGo) {
  ports.Add(5);
  CreateOnCom4();
  EXPECT_EQ("", engine->Port->PinnedDevice());  // open, but nothing has answered yet
  engine->State = eZa96Before;
  Chunk("^");
  EXPECT_EQ(ports.Link(4), engine->Port->PinnedDevice());
  engine->State = eCheckPort;
  StepWith(kReplyBluetooth);
  EXPECT_EQ(5, engine->PortNumber);
  EXPECT_EQ("", engine->Port->PinnedDevice());
}

TEST_F(PortScan, BusyPortGetsItsReasonLoggedMissingOnesDoNot) {
  auto& com2 = ports.Add(2);
  ports.Add(3);
  serial::TSerialPort other;  // another program holds Com2
  other.SetDeviceName(com2.path());
  other.Open();
  ASSERT_TRUE(other.Connected());
  Create();
  window.log.clear();
  engine->OpenPort(1);
  EXPECT_EQ(3, engine->PortNumber);
  ASSERT_EQ(5u, window.log.size());
  EXPECT_EQ(NotInstalled(1), window.log[0]);
  EXPECT_EQ(CannotOpen(1), window.log[1]);
  EXPECT_EQ(NotInstalled(2), window.log[2]);
  EXPECT_NE(std::string::npos, window.log[3].find("another program holds the port open")) << window.log[3];
  EXPECT_EQ(CannotOpen(2), window.log[4]);
}

}  // namespace
