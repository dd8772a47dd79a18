// Writes are never cut short (issue 20, item 1): on a line that takes bytes at its rate, as a UART does, a
// whole update arrives byte for byte at 9600 (the /b path) and at 38400, and nothing is cut before the port
// closes; a loader held by the indicator's XOFF for 3 s arrives whole after the XON, without a byte dropped.
//
// The line model here is the simulated indicator with --pace: it takes bytes from the pseudo-terminal at the
// line's rate (count x 10 / baud). Its limit: the pty's kernel buffer of several KiB stands in for the
// driver's queue, so a 1000-byte block is taken at once, as by a USB adapter whose driver completes writes
// into its own buffer; a write waits only once that buffer is full, or while XOFF stops the line (the pty
// obeys IXON as a UART does). The Windows tests under Wine (windows_wire_test.sh) also model the UART's
// completion: there a block's write stays pending for its line time.
#include "tests/faults/fault_harness.h"

namespace faults {
namespace {

using testing_support::FirmwareImage;
using testing_support::LoaderText;

constexpr char kNothingCut[] = "Serial transfers cut short: 0 on a time-out, 0 by closing the port";

class Wire : public FaultCase {
 protected:
  Wire() { WriteFile(tmp / "fw.bin", firmware); }
  std::string Transcript() { return ReadFile(tmp / "sim.txt"); }
  const std::string firmware = FirmwareImage(5002, 41);
};

TEST_F(Wire, AWholeUpdateAt38400OnAPacedLineArrivesWholeWithNothingCut) {
  WriteFile(tmp / "ld.s19", LoaderText(2048));
  auto sim = Indicator({"--pace"});
  EXPECT_EQ(RunUpdater({"/i", "fw.bin", "ld.s19"}, BRAE_UPDATE, 120s), 0) << out << err;
  EXPECT_EQ(sim->Wait(10s), 0);
  ExpectConfirmedImage(firmware);
  const std::string log = LogFile();
  EXPECT_NE(log.find("at 38400 baud"), std::string::npos) << log;
  EXPECT_NE(log.find(kNothingCut), std::string::npos) << log;
}

TEST_F(Wire, AWholeUpdateAt9600OnThePathOfSlashBArrivesWholeWithNothingCut) {
  WriteFile(tmp / "ld.s19", LoaderText(2048));  // not sent on this path, but a copy without one stops
  auto sim = Indicator({"--pace", "--boot"});
  EXPECT_EQ(RunUpdater({"/i", "fw.bin", "ld.s19", "/b"}, BRAE_UPDATE, 120s), 0) << out << err;
  EXPECT_EQ(sim->Wait(10s), 0);
  ExpectConfirmedImage(firmware);
  const std::string log = LogFile();
  EXPECT_NE(log.find("Sending U at 9600 baud"), std::string::npos) << log;
  EXPECT_EQ(log.find("at 38400 baud"), std::string::npos) << log;
  EXPECT_NE(log.find(kNothingCut), std::string::npos) << log;
}

TEST_F(Wire, ALoaderHeldByXoffForThreeSecondsArrivesWholeAfterTheXon) {
  // About 5 KB of S-records; the XOFF comes after 1500 bytes received, well inside the upload, and the
  // indicator lets the line go 3 s later. Before the mend each byte held for a second was dropped: the loader
  // was rejected (no Q) and uploaded again after 30 s.
  WriteFile(tmp / "ld.s19", LoaderText(2048));
  auto sim = Indicator({"--stuck-xoff", "1500:3000"});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunUpdater({"/i", "fw.bin", "ld.s19"}, BRAE_UPDATE, 60s), 0) << out << err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 25s) << "the loader was uploaded more than once";
  EXPECT_EQ(sim->Wait(10s), 0);
  ExpectConfirmedImage(firmware);
  const std::string transcript = Transcript();
  EXPECT_NE(transcript.find("fault: XON sent"), std::string::npos) << transcript;
  EXPECT_EQ(transcript.find("no Q (loader rejected)"), std::string::npos) << transcript;
  EXPECT_EQ(transcript.find("bad record"), std::string::npos) << transcript;
  const std::string log = LogFile();
  // One upload, every byte of it.
  const std::string sent = "Actually send out s19 file size is  " + std::to_string(LoaderText(2048).size());
  EXPECT_NE(log.find(sent), std::string::npos) << log;
  EXPECT_EQ(log.find("Actually send out s19"), log.rfind("Actually send out s19")) << log;
  EXPECT_NE(log.find(kNothingCut), std::string::npos) << log;
  // The hold is no silent stall: the technician is told while it lasts.
  EXPECT_NE(log.find("The indicator holds the line (XOFF)"), std::string::npos) << log;
}

TEST_F(Wire, APortHeldByXoffBeforeAnyIndicatorAnsweredDoesNotHoldTheScan) {
  // On Com1 a device that sends XOFF at the first byte it hears and nothing else, ever; the indicator is on Com2.
  // Before the mend the scan stood on Com1 for good, and the log blamed the indicator.
  WriteFile(tmp / "ld.s19", LoaderText(1024));
  auto stuck = testing_support::StartIndicator(
      SIM_PATH, tmp, "com1",
      {"--silent", "--stuck-xoff", "1", "--transcript", tmp / "stuck.txt", "--image-out", tmp / "stuck.bin"});
  auto sim = testing_support::StartIndicator(SIM_PATH, tmp, "com2", {"--exit-after-update"});
  EXPECT_EQ(RunUpdater({"/i", "fw.bin", "ld.s19", "/p", "Com1", "/p", "Com2"}, BRAE_UPDATE, 60s), 0)
      << out << err;
  ExpectConfirmedImage(firmware);
  const std::string log = LogFile();
  EXPECT_NE(log.find("Com1 holds the line (XOFF) and no indicator has answered there"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("The indicator holds the line"), std::string::npos) << log;
}

}  // namespace
}  // namespace faults
