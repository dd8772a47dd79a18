// The updater ends soundly: Exit (SIGINT, SIGTERM) ends it within a second in any state, with the log file
// written, also while the indicator holds the line with an XOFF that never ends or while the port is away;
// and a payload file that changes during the update cannot change the image sent.
#include <csignal>
#include <functional>
#include <thread>

#include "tests/faults/fault_harness.h"

namespace faults {
namespace {

using testing_support::FirmwareImage;
using testing_support::LoaderText;
using testing_support::WaitUntil;

class Ending : public FaultCase {
 protected:
  Ending() {
    WriteFile(tmp / "fw.bin", firmware);
    WriteFile(tmp / "ld.s19", LoaderText(4096));
  }
  const std::string firmware = FirmwareImage(3002, 21);
};

TEST_F(Ending, ExitEndsTheUpdateWithinASecondInEveryKindOfWait) {
  struct {
    const char* name;
    std::vector<std::string> indicator;
    const char* waitFor;  // console output that shows the updater is in that wait
    int signo;
    int loaderLines = 4096;  // a larger loader keeps the paced upload waiting long past the signal
  } cases[] = {
      // The loader upload: the indicator sends XOFF after {PM} and never XON, so each byte's write waits.
      {"held XOFF, SIGINT", {"--stuck-xoff", "60"}, "Sending Load Program", SIGINT},
      {"held XOFF, SIGTERM", {"--stuck-xoff", "60"}, "Sending Load Program", SIGTERM},
      // The loader upload keeps the pace of a line that takes it at its rate: about 39 KB at 38400, 10 s.
      {"paced loader", {"--pace"}, "Sending Load Program", SIGTERM, 16384},
      // The port has gone and is being opened again.
      {"port away", {"--vanish-after", "8:30000"}, "has gone away", SIGTERM},
      // Identification against a silent indicator: the port scan and its timeouts.
      {"silent indicator", {"--silent"}, "Timeout in state", SIGINT},
      // The erase, the longest single wait.
      {"erasing", {"--erase-ms", "20000"}, "Erasing firmware", SIGTERM},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(tmp / (std::string("log/") + kLogName));
    WriteFile(tmp / "ld.s19", LoaderText(c.loaderLines));
    auto sim = Indicator(c.indicator);
    auto updater = Updater({"/i", "fw.bin", "ld.s19"}, BRAE_UPDATE, {{"BRAE_CONSOLE_LOG", "1"}});
    ASSERT_TRUE(WaitUntil(
        [&] {
          return updater->Err().find(c.waitFor) != std::string::npos ||
                 updater->Out().find(c.waitFor) != std::string::npos;
        },
        20s))
        << updater->Out() << updater->Err();
    std::this_thread::sleep_for(300ms);  // well inside the wait
    updater->Signal(c.signo);
    EXPECT_EQ(updater->Wait(1s), 1) << updater->Out() << updater->Err();
    EXPECT_TRUE(Exists("log/" + std::string(kLogName))) << "the log file is written on every end";
    if (std::string(c.waitFor) == "Sending Load Program") {
      EXPECT_EQ(LogFile().find("Actually send out s19 file size"), std::string::npos)
          << "ended in the upload";
    }
    updater.reset();
    sim.reset();
  }
}

TEST_F(Ending, APayloadFileThatChangesDuringTheUpdateCannotChangeTheImageSent) {
  struct {
    const char* name;
    std::function<void(const std::string&)> change;
  } cases[] = {
      {"shrinks", [](const std::string& path) { WriteFile(path, "short"); }},
      {"is replaced",
       [&](const std::string& path) {
         WriteFile(path + ".new", FirmwareImage(3002, 99));
         std::filesystem::rename(path + ".new", path);
       }},
      {"goes away", [](const std::string& path) { std::filesystem::remove(path); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(tmp / "fw.bin", firmware);
    WriteFile(tmp / "ld.s19", LoaderText(4096));
    std::filesystem::remove(tmp / "image.bin");
    // A long erase gives the test its moment: the files change after the update measured them.
    auto sim = Indicator({"--erase-ms", "1500"});
    auto updater = Updater({"/i", "fw.bin", "ld.s19"});
    ASSERT_TRUE(WaitUntil([&] { return updater->Out().find("Erasing firmware") != std::string::npos; }, 20s))
        << updater->Out();
    c.change(tmp / "fw.bin");
    c.change(tmp / "ld.s19");
    EXPECT_EQ(updater->Wait(30s), 0) << updater->Out() << updater->Err();
    EXPECT_EQ(sim->Wait(10s), 0);
    ExpectConfirmedImage(firmware);
  }
}

}  // namespace
}  // namespace faults
