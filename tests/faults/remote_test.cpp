// An indicator behind a serial device server: the real brae-update reaches the simulated indicator through a
// real ser2net (telnet with the com-port option) in front of the indicator's pseudo-terminal, named by its
// rfc2217:// URL after /p. The server sets the pty's rate on the updater's request, and the indicator follows
// the rate it reads there, so the switch to 38400 works only if the request went through.
#include <signal.h>

#include <thread>

#include "tests/faults/fault_harness.h"
#include "tests/support/lost_server.h"
#include "tests/support/pty.h"
#include "tests/support/ser2net.h"

namespace faults {
namespace {

using testing_support::FirmwareImage;
using testing_support::LoaderText;
using testing_support::Ser2net;

// An image with every byte the telnet layer treats specially, often and next to each other: long runs of
// 0xFF (IAC, doubled on the wire), and 0xFF beside SB, WILL..DONT and SE.
std::string TelnetRichImage(size_t size) {
  static const uint8_t kPattern[] = {0xFF, 0xFF, 0xFA, 0xFF, 0xFB, 0xFF, 0xFC, 0xFF, 0xFD, 0xFF, 0xFE,
                                     0xFF, 0xF0, 0xFA, 0xFF, 0x2C, 0xFF, 0x00, 0x0D, 0x0A, 0xFF, 0xFF};
  std::string image = FirmwareImage(size, 7);
  for (size_t at = 0; at < size; at += 97) {
    if (at % 3 == 0) {
      // A run of 0xFF as long as an erased flash page's tail.
      for (size_t i = at; i < std::min(size, at + 40); ++i) image[i] = static_cast<char>(0xFF);
    } else {
      for (size_t i = 0; i < sizeof kPattern && at + i < size; ++i)
        image[at + i] = static_cast<char>(kPattern[i]);
    }
  }
  image[0] = 0x12;      // never the empty buffer's marker
  image.back() = 0x5A;  // the size rule leaves trailing 0xFF (erased flash) out of what is sent
  return image;
}

class Remote : public FaultCase {
 protected:
  void SetUp() override {
    if (!Ser2net::Installed()) GTEST_SKIP() << "ser2net is not installed (scripts/setup.sh installs it)";
  }
  // The indicator on a pty, served by ser2net; the updater is given only the server's URL.
  void Serve(std::vector<std::string> simOptions = {}) {
    sim = Indicator(std::move(simOptions));
    server = std::make_unique<Ser2net>(std::filesystem::read_symlink(tmp / "ports/com1").string());
    ASSERT_TRUE(server->Start()) << server->Log();
  }
  std::unique_ptr<Process> sim;
  std::unique_ptr<Ser2net> server;
};

TEST_F(Remote, WholeUpdatesThroughTheServerArriveByteExact) {
  struct Case {
    const char* name;
    std::string firmware;
    std::vector<std::string> simOptions;
    std::vector<std::string> updaterOptions;
    const char* rateSeen;     // a command the log shows at the rate the path must reach
    const char* rateNotSeen;  // and one it must never show once the server's port is scanned
  };
  testing_support::Pty silent;  // a port that opens and never answers
  const Case cases[] = {
      {"switch to 38400", FirmwareImage(20002, 3), {}, {}, "at 38400 baud rate on rfc2217://", nullptr},
      {"/b at 9600",
       FirmwareImage(6002, 5),
       {"--boot"},
       {"/b"},
       "Sending U at 9600 baud rate on rfc2217://",
       "at 38400 baud"},
      {"telnet command bytes in the image", TelnetRichImage(30002), {}, {}, "at 38400 baud rate", nullptr},
      // The server's port is scanned only once its connection has come, in the scan's first round.
      {"a silent local port first",
       FirmwareImage(6002, 9),
       {},
       {"/p", silent.path()},
       "Sending {ZA1} at 9600 baud rate on rfc2217://",
       "Timeout in state eZa96Before"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(tmp / "image.bin");
    WriteFile(tmp / "fw.bin", c.firmware);
    WriteFile(tmp / "ld.s19", LoaderText(2048));
    Serve(c.simOptions);
    std::vector<std::string> args = c.updaterOptions;
    args.insert(args.end(), {"/p", server->url(), "/i", "fw.bin", "ld.s19"});
    EXPECT_EQ(RunUpdater(args, BRAE_UPDATE, 120s), 0) << out << err << server->Log();
    EXPECT_EQ(sim->Wait(10s), 0);
    ExpectConfirmedImage(c.firmware);
    const std::string log = LogFile();
    EXPECT_NE(log.find(c.rateSeen), std::string::npos) << log;
    if (c.rateNotSeen) {
      EXPECT_EQ(log.find(c.rateNotSeen, log.find("on rfc2217://")), std::string::npos) << log;
    }
    server.reset();
  }
}

TEST_F(Remote, AServerKilledMidImageAndBackAfterTwoSecondsStillEndsInAByteExactImage) {
  const std::string firmware = FirmwareImage(30002, 9);
  WriteFile(tmp / "fw.bin", firmware);
  WriteFile(tmp / "ld.s19", LoaderText(1024));
  Serve({"--pace"});  // about 8 s of image at 38400: time to be killed in the middle of it
  auto updater =
      Updater({"/p", server->url(), "/i", "fw.bin", "ld.s19"}, BRAE_UPDATE, {{"BRAE_CONSOLE", "json"}});
  ASSERT_TRUE(testing_support::WaitUntil(
      [&] { return updater->Out().find("\"phase\":\"firmware\",\"bytes\":") != std::string::npos; }, 60s))
      << updater->Out() << updater->Err();
  server->Kill();
  std::this_thread::sleep_for(2s);
  ASSERT_TRUE(server->Start()) << server->Log();
  EXPECT_EQ(updater->Wait(120s), 0) << updater->Err();
  EXPECT_EQ(sim->Wait(10s), 0);
  ExpectConfirmedImage(firmware);
  const std::string log = LogFile();
  EXPECT_NE(log.find("has gone away"), std::string::npos) << log;
  EXPECT_NE(log.find("is back after"), std::string::npos) << log;
}

TEST_F(Remote, NoServerListeningIsToldTheScanGoesOnAndExitEndsIt) {
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(Ser2net::FreePort());
  WriteFile(tmp / "fw.bin", FirmwareImage(2002, 1));
  WriteFile(tmp / "ld.s19", LoaderText(256));
  auto updater = Updater({"/p", url, "/i", "fw.bin", "ld.s19"}, BRAE_UPDATE, {{"BRAE_CONSOLE", "json"}});
  // The scan keeps trying the one named port: two rounds show in the error it raises after the first.
  ASSERT_TRUE(testing_support::WaitUntil(
      [&] { return updater->Out().find("\"event\":\"error\"") != std::string::npos; }, 30s))
      << updater->Out() << updater->Err();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(updater->Wait(0ms), -1) << "a port that cannot be reached ended the scan";
  updater->Signal(SIGTERM);
  EXPECT_EQ(updater->Wait(3s), 1);
  const std::string output = updater->Out();
  EXPECT_NE(output.rfind("\"event\":\"result\""), std::string::npos) << output;
  const std::string log = LogFile();
  EXPECT_NE(log.find("Can not open " + url + " to communicate"), std::string::npos) << log;
  EXPECT_NE(log.find("refused"), std::string::npos) << "the reason is not in the log:\n" << log;
}

TEST_F(Remote, AServerLostForGoodHoldsNoOtherPortOfTheBatchNorTheExit) {
  // Its reopen's connects hang until they give up, try after try, while a local indicator is updated.
  testing_support::LostServer lost(1000);
  const std::string firmware = FirmwareImage(20002, 4);
  WriteFile(tmp / "fw.bin", firmware);
  WriteFile(tmp / "ld.s19", LoaderText(1024));
  sim = Indicator({"--pace"});  // seconds of line time: the server is lost in the middle of them
  auto updater = Updater({"/all", "/p", "Com1", "/p", lost.url(), "/i", "fw.bin", "ld.s19"}, BRAE_UPDATE,
                         {{"BRAE_CONSOLE", "json"}});
  ASSERT_TRUE(testing_support::WaitUntil(
      [&] { return updater->Out().find("\"outcome\":\"updated\"") != std::string::npos; }, 90s))
      << updater->Out();
  EXPECT_EQ(sim->Wait(10s), 0);
  ExpectConfirmedImage(firmware);
  const auto start = std::chrono::steady_clock::now();
  updater->Signal(SIGTERM);
  EXPECT_EQ(updater->Wait(5s), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  std::string remoteLog;
  for (const auto& f : std::filesystem::directory_iterator(tmp / "log")) {
    if (f.path().filename() != "VeltronaUpdateBraeError.Com1.TXT") remoteLog += ReadFile(f.path());
  }
  EXPECT_NE(remoteLog.find("has gone away"), std::string::npos) << remoteLog;
}

}  // namespace
}  // namespace faults
