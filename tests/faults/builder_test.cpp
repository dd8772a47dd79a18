// Builds never lie: a copy rebuilt with a new firmware updates with that firmware, a payload its copy would
// take for an empty buffer is refused before anything is written, and a copy damaged after its build is
// refused before it opens a port.
#include <signal.h>
#include <sys/stat.h>

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
    EXPECT_EQ(RunUpdater(c.args, c.program, 30s), 2) << out << err;
    EXPECT_EQ(out.substr(0, c.says.size()), c.says) << out;
    EXPECT_FALSE(Exists(c.wouldWrite)) << c.says;
    EXPECT_TRUE(Exists("log/" + std::string(kLogName))) << "the log file is written on every end";
  }
}

// The SHA-256 of `bytes` in hex, as sha256sum gives it.
std::string Sha256Hex(const testing_support::TempDir& tmp, const std::string& bytes) {
  WriteFile(tmp / "digest-input", bytes);
  return testing_support::Sha256sum(tmp / "digest-input");
}

std::string Unhex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

// Full.exe: brae-update carrying fw and ld, with the offsets of both in its file (found by their bytes, which
// occur nowhere else).
struct BuiltCopy {
  std::string image;
  size_t firmwareAt = std::string::npos, loaderAt = std::string::npos;
};

class DigestFaults : public FaultCase {
 protected:
  BuiltCopy BuildFull() {
    WriteFile(tmp / "fw.bin", fw);
    WriteFile(tmp / "b.s19", ld);
    BuiltCopy c;
    EXPECT_EQ(RunUpdater({"/u", "Full", "fw.bin", "/l", "b.s19"}), 0) << out << err;
    c.image = ReadFile(tmp / "Full.exe");
    c.firmwareAt = c.image.find(fw);
    c.loaderAt = c.image.find(ld);
    EXPECT_NE(c.firmwareAt, std::string::npos);
    EXPECT_NE(c.loaderAt, std::string::npos);
    return c;
  }
  void WriteProgram(const std::string& name, const std::string& image) {
    WriteFile(tmp / name, image);
    ASSERT_EQ(::chmod((tmp / name).c_str(), 0755), 0);
  }
  const std::string fw = FirmwareImage(9002, 3), ld = LoaderText(700);
};

TEST_F(DigestFaults, ADamagedCopyIsRefusedAndNothingReachesTheIndicator) {
  const BuiltCopy built = BuildFull();
  ASSERT_NE(built.firmwareAt, std::string::npos);
  ASSERT_NE(built.loaderAt, std::string::npos);
  std::string paddedFirmware = fw + std::string(10, '\xff') + '\x00';  // what a stray byte after it adds
  struct {
    const char* what;
    size_t at;
    uint8_t flip;
    const char* kind;
    std::string payload, damaged;
  } cases[] = {
      {"one bit of the firmware", built.firmwareAt + 4321, 0x08, "firmware", fw, fw},
      {"a byte after the firmware's end", built.firmwareAt + fw.size() + 10, 0xFF, "firmware", fw,
       paddedFirmware},
      {"one bit of the loader", built.loaderAt + 100, 0x01, "loader", ld, ld},
  };
  cases[0].damaged[4321] ^= 0x08;
  cases[2].damaged[100] ^= 0x01;

  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string image = built.image;
    image[c.at] = static_cast<char>(image[c.at] ^ c.flip);
    WriteProgram("Damaged.exe", image);
    std::filesystem::remove(tmp / "sim.txt");
    auto sim = Indicator();
    EXPECT_EQ(RunUpdater({}, tmp / "Damaged.exe", 30s), 2) << out << err;
    const std::string says =
        std::string("[Update Message]\nThe ") + c.kind +
        " carried in this program does not match the SHA-256 recorded when it was built: "
        "this copy is damaged; build or download it again.\nExpected: " +
        Sha256Hex(tmp, c.payload) + "\nActual:   " + Sha256Hex(tmp, c.damaged) + "\n";
    EXPECT_EQ(out.substr(0, says.size()), says) << out;
    EXPECT_EQ(out.find("Searching serial ports"), std::string::npos) << out;
    EXPECT_NE(LogFile().find("this copy is damaged; build or download it again."), std::string::npos);

    // The indicator saw nothing: no byte, no open of its line.
    sim->Signal(SIGTERM);
    EXPECT_GE(sim->Wait(10s), 0);
    const std::string transcript = ReadFile(tmp / "sim.txt");
    EXPECT_EQ(std::count(transcript.begin(), transcript.end(), '\n'), 2) << transcript;
    EXPECT_NE(transcript.find("stopped by"), std::string::npos) << transcript;
    EXPECT_FALSE(Exists("image.bin"));
  }
}

TEST_F(DigestFaults, EveryPayloadShowsItsSha256AndACopyWithoutDigestsStillUpdates) {
  const BuiltCopy built = BuildFull();
  const std::string fwDigest = Sha256Hex(tmp, fw), ldDigest = Sha256Hex(tmp, ld);
  // A copy built before digests were recorded: its record reads as zeros. The record is found by the loader's
  // entry: "sha-256", its length, four zeros and its digest.
  std::string entry = std::string("sha-256", 8);
  for (int i = 0; i < 4; ++i) entry += static_cast<char>(ld.size() >> (8 * i) & 0xFF);
  entry += std::string(4, '\0') + Unhex(ldDigest);
  const size_t recordAt = built.image.find(entry);
  ASSERT_NE(recordAt, std::string::npos) << "no digest record in the built copy";
  std::string old = built.image;
  old.replace(recordAt, 128, std::string(128, '\0'));
  WriteProgram("Old.exe", old);

  struct {
    const char* what;
    std::vector<std::string> args;
    std::string program, firmwareLine, loaderLine, logSays;
  } cases[] = {
      {"a built copy",
       {},
       tmp / "Full.exe",
       "Firmware: embedded, 9002 bytes, CRC-16 0x",
       "Loader: embedded, ",
       "Firmware: the embedded payload matches the SHA-256 recorded by its build"},
      {"a copy without digests",
       {},
       tmp / "Old.exe",
       "Firmware: embedded, 9002 bytes, CRC-16 0x",
       "Loader: embedded, ",
       "Firmware: this copy carries no SHA-256 of its embedded payload"},
      {"payload files",
       {"/i", "fw.bin", "b.s19"},
       BRAE_UPDATE,
       "Firmware: fw.bin, 9002 bytes, CRC-16 0x",
       "Loader: b.s19, ",
       "Firmware to send: fw.bin, 9002 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const bool recorded = c.program == tmp / "Full.exe", embedded = c.args.empty();
    auto sim = Indicator();
    EXPECT_EQ(RunUpdater(c.args, c.program), 0) << out << err;
    EXPECT_EQ(sim->Wait(10s), 0);
    ExpectConfirmedImage(fw);
    // On screen the first 16 digits, in the log all of them.
    const std::string note = embedded && !recorded ? " (no digest recorded)\n" : "\n";
    const size_t f = out.find(c.firmwareLine), l = out.find(c.loaderLine);
    ASSERT_NE(f, std::string::npos) << out;
    ASSERT_NE(l, std::string::npos) << out;
    const std::string firmwareLine = out.substr(f, out.find('\n', f) + 1 - f);
    const std::string loaderLine = out.substr(l, out.find('\n', l) + 1 - l);
    EXPECT_TRUE(firmwareLine.ends_with(", SHA-256 " + fwDigest.substr(0, 16) + note)) << firmwareLine;
    EXPECT_TRUE(loaderLine.ends_with(", SHA-256 " + ldDigest.substr(0, 16) + note)) << loaderLine;
    const std::string log = LogFile();
    EXPECT_NE(log.find(c.logSays), std::string::npos) << log;
    EXPECT_NE(log.find("SHA-256 " + fwDigest), std::string::npos) << log;
    EXPECT_NE(log.find("SHA-256 " + ldDigest), std::string::npos) << log;
  }
}

}  // namespace
}  // namespace faults
