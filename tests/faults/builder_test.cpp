// Builds never lie: a copy rebuilt with a new firmware updates with that firmware, and a payload its copy
// would take for an empty buffer is refused before anything is written.
#include "tests/faults/fault_harness.h"

namespace faults {
namespace {

using testing_support::FirmwareImage;
using testing_support::LoaderText;

class BuilderFaults : public FaultCase {};

TEST_F(BuilderFaults, ARebuiltCopyUpdatesWithTheNewFirmware) {
  // The second firmware is shorter: a tail of the first one left in the buffer would be sent with it.
  const std::string first = FirmwareImage(9000, 1), second = FirmwareImage(6500, 2);
  WriteFile(tmp / "fwA.bin", first);
  WriteFile(tmp / "fwB.bin", second);
  WriteFile(tmp / "b.s19", LoaderText());
  ASSERT_EQ(RunUpdater({"/u", "First", "fwA.bin", "/l", "b.s19"}), 0) << out << err;
  ASSERT_EQ(RunUpdater({"/u", "Second", "fwB.bin"}, tmp / "First.exe"), 0) << out << err;
  EXPECT_EQ(out.substr(0, 17), "Wrote Second.exe\n");

  // Alone in a directory of its own, with no arguments: it can only send what it carries.
  std::filesystem::create_directory(tmp / "alone");
  std::filesystem::rename(tmp / "Second.exe", tmp / "alone/Second.exe");
  auto sim = Indicator();
  EXPECT_EQ(RunUpdater({}, tmp / "alone/Second.exe"), 0) << out << err;
  EXPECT_EQ(sim->Wait(10s), 0);
  ExpectConfirmedImage(second);
  EXPECT_NE(LogFile().find("Firmware file size is 6500\r\n"), std::string::npos);
}

TEST_F(BuilderFaults, APayloadThatReadsAsAnEmptyBufferIsRefused) {
  // Its copy would say "No firmware file inside." (or the loader's message) and never update.
  std::string markedFirmware = FirmwareImage(3000), markedLoader = LoaderText();
  markedFirmware.replace(0, 4, "\x55\x55\x55\x55");
  markedLoader.replace(0, 4, "\x88\x88\x88\x88");
  WriteFile(tmp / "marked.bin", markedFirmware);
  WriteFile(tmp / "marked.s19", markedLoader);
  WriteFile(tmp / "fw.bin", FirmwareImage(3000));
  WriteFile(tmp / "b.s19", LoaderText());
  ASSERT_EQ(RunUpdater({"/u", "Full", "fw.bin", "/l", "b.s19"}), 0) << out << err;

  const std::string firmwareSays = "[Update Message]\nThe firmware file marked.bin begins with 55 55 55 55";
  const std::string loaderSays = "[Update Message]\nThe loader file marked.s19 begins with 88 88 88 88";
  struct {
    std::vector<std::string> args;
    std::string program, says, wouldWrite;
  } cases[] = {
      {{"/u", "N", "marked.bin"}, BRAE_UPDATE, firmwareSays, "N.exe"},
      {{"/u", "N", "marked.bin", "/l", "b.s19"}, BRAE_UPDATE, firmwareSays, "N.exe"},
      {{"/u", "N", "fw.bin", "/l", "marked.s19"}, BRAE_UPDATE, loaderSays, "N.exe"},
      {{"/l", "marked.s19"}, BRAE_UPDATE, loaderSays, "UpdateLoad.exe"},
      {{"/u", "N", "marked.bin"}, tmp / "Full.exe", firmwareSays, "N.exe"},  // from a copy that carries both
  };
  for (const auto& c : cases) {
    std::filesystem::remove(tmp / (std::string("log/") + kLogName));
    EXPECT_EQ(RunUpdater(c.args, c.program, 30s), 1) << out << err;
    EXPECT_EQ(out.substr(0, c.says.size()), c.says) << out;
    EXPECT_FALSE(Exists(c.wouldWrite)) << c.says;
    EXPECT_TRUE(Exists("log/" + std::string(kLogName))) << "the log file is written on every end";
  }
}

}  // namespace
}  // namespace faults
