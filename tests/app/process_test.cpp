// brae-update as a process: the console presentation updating the simulated indicator from files, a build
// followed by an update with the built copy, the choice of the console without a display, and SIGINT and
// SIGTERM closing the window and the console like Exit.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "payload/PageFile.h"
#include "tests/app/app_support.h"
#include "tests/support/pty.h"
#include "tests/support/updater.h"

namespace {

using namespace std::chrono_literals;
using apptest::Process;
using apptest::ReadFile;
using apptest::TempDir;
using apptest::WaitUntil;
using apptest::WriteFile;
using Env = std::map<std::string, std::optional<std::string>>;

constexpr char kLogName[] = "VeltronaUpdateBraeError.TXT";

class ProcessTest : public ::testing::Test {
 protected:
  ProcessTest() {
    std::filesystem::create_directory(tmp / "ports");
    WriteFile(tmp / "fw.bin", apptest::FirmwareImage(6500));
    WriteFile(tmp / "b.s19", apptest::LoaderText());
  }
  // The console, or as `extra` says; never a display, never a real port.
  Env Environment(const Env& extra = {}) { return testing_support::UpdaterEnvironment(tmp, extra); }
  std::unique_ptr<Process> Updater(std::vector<std::string> args, const Env& env,
                                   const std::string& program = "") {
    args.insert(args.begin(), program.empty() ? std::string(BRAE_UPDATE) : program);
    return std::make_unique<Process>(args, env, tmp.path, tmp / "out.txt", tmp / "err.txt");
  }
  // The simulated indicator on Com4.
  std::unique_ptr<Process> Indicator(std::vector<std::string> extra = {}) {
    return testing_support::StartIndicator(SIM_PATH, tmp, "com4", extra);
  }
  // What the indicator confirmed is the firmware file, byte for byte.
  void ExpectImageIsTheFirmware() {
    const std::string image = ReadFile(tmp / "image.bin");
    const std::string firmware = ReadFile(tmp / "fw.bin");
    EXPECT_EQ(image.size(), firmware.size());
    EXPECT_TRUE(image == firmware);
  }
  std::string LogFile() { return ReadFile(tmp / (std::string("log/") + kLogName)); }

  TempDir tmp;
};

// The indicator takes and sends bytes at the wire's pace, as a real one does.
TEST_F(ProcessTest, TheConsoleUpdatesFromBothFiles) {
  auto sim = Indicator({"--exit-after-update", "--pace"});
  auto updater = Updater({"/i", tmp / "fw.bin", tmp / "b.s19"}, Environment());
  const int code = updater->Wait(90s);
  const std::string out = updater->Out();
  EXPECT_EQ(code, 0) << out << updater->Err();
  EXPECT_NE(out.find("Sending Load Program\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Sending new firmware. This will take approximately 3 minutes.\n"), std::string::npos);
  // Both bars end full: the loader's when it has gone out, the firmware's at success.
  const std::string loaderSize = std::to_string(apptest::LoaderText().size());
  EXPECT_NE(out.find("Progress: 100%  " + loaderSize + "/" + loaderSize + " bytes"), std::string::npos)
      << out;
  EXPECT_NE(out.find("Progress: 100%  6500/6500 bytes"), std::string::npos) << out;
  EXPECT_LT(out.find("Progress: 100%  6500/6500 bytes"), out.find("Update Successful"));
  EXPECT_NE(out.find("Update Successful"), std::string::npos) << out;
  EXPECT_EQ(sim->Wait(10s), 0);
  ExpectImageIsTheFirmware();
  const std::string log = LogFile();
  EXPECT_EQ(log.substr(0, 31), "\r\nBrae update version is 3.1c\r\n");
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
}

TEST_F(ProcessTest, ABuiltUpdaterWithItsLoaderUpdatesFromAFirmwareFile) {
  auto build = Updater({"/l", "b.s19"}, Environment());
  ASSERT_EQ(build->Wait(30s), 0) << build->Out() << build->Err();
  const std::string built = tmp / "UpdateLoad.exe";
  EXPECT_NE(build->Out().find("Wrote "), std::string::npos) << build->Out();
  struct stat st {};
  ASSERT_EQ(stat(built.c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IXUSR);

  auto sim = Indicator({"--exit-after-update", "--pace"});
  auto updater = Updater({"/i", "fw.bin"}, Environment(), built);
  EXPECT_EQ(updater->Wait(90s), 0) << updater->Out() << updater->Err();
  EXPECT_NE(updater->Out().find("Update Successful"), std::string::npos);
  EXPECT_EQ(sim->Wait(10s), 0);
  ExpectImageIsTheFirmware();
}

TEST_F(ProcessTest, ABuiltUpdaterCarryingBothUpdatesWithNoFilesBesideIt) {
  auto build = Updater({"/u", "Full", "fw.bin", "/l", "b.s19"}, Environment());
  ASSERT_EQ(build->Wait(30s), 0) << build->Out() << build->Err();
  // Alone in a directory of its own, with no arguments: run mode 0, from what it carries.
  std::filesystem::create_directory(tmp / "alone");
  const std::string alone = tmp / "alone/Full.exe";
  std::filesystem::rename(tmp / "Full.exe", alone);
  auto sim = Indicator({"--exit-after-update", "--pace"});
  auto updater = Updater({}, Environment(), alone);
  EXPECT_EQ(updater->Wait(90s), 0) << updater->Out() << updater->Err();
  EXPECT_NE(updater->Out().find("Update Successful"), std::string::npos) << updater->Out();
  EXPECT_EQ(sim->Wait(10s), 0);
  ExpectImageIsTheFirmware();
  EXPECT_NE(LogFile().find("Firmware file size is 6500"), std::string::npos);
}

// /w: a copy of the program with the page template beside it writes the page with both files and their
// digests (held to sha256sum); without a template it says where it looked.
TEST_F(ProcessTest, AWebPageIsBuiltFromTheTemplateBesideTheProgram) {
  std::filesystem::create_directory(tmp / "bin");
  std::filesystem::copy_file(BRAE_UPDATE, tmp / "bin/brae-update");
  WriteFile(tmp / "bin/brae-update.html",
            "<html>" + std::string(payload::kPayloadOpenTag) + "</script></html>");
  auto build = Updater({"/w", "Name", "fw.bin", "/l", "b.s19"}, Environment(), tmp / "bin/brae-update");
  ASSERT_EQ(build->Wait(30s), 0) << build->Out() << build->Err();
  EXPECT_NE(build->Out().find("Wrote Name.html"), std::string::npos) << build->Out();
  const payload::PagePayloads p = payload::ReadPagePayloads(ReadFile(tmp / "Name.html"));
  ASSERT_EQ(p.Error, "");
  EXPECT_TRUE(std::string(p.Firmware.begin(), p.Firmware.end()) == ReadFile(tmp / "fw.bin"));
  EXPECT_TRUE(std::string(p.Loader.begin(), p.Loader.end()) == ReadFile(tmp / "b.s19"));
  for (auto [kind, file] :
       {std::pair{payload::PayloadKind::kFirmware, "fw.bin"}, {payload::PayloadKind::kLoader, "b.s19"}}) {
    const payload::DigestCheck check = payload::CheckPagePayload(p, kind);
    EXPECT_EQ(check.state, payload::DigestCheck::kMatch) << file;
    EXPECT_EQ(payload::HexOf(check.Expected), testing_support::Sha256sum(tmp / file));
  }
  auto missing = Updater({"/w", "N", "fw.bin"}, Environment());
  EXPECT_EQ(missing->Wait(30s), 2);
  const std::string beside = std::filesystem::path(BRAE_UPDATE).parent_path() / "brae-update.html";
  EXPECT_NE(missing->Out().find("there is no page template at " + beside + " (beside the program) or at "),
            std::string::npos)
      << missing->Out();
}

// /p: a built copy updates from what it carries on the named port alone, though Com1 is there too.
TEST_F(ProcessTest, ABuiltCopyUpdatesOnTheNamedPortAndOpensNoOther) {
  auto build = Updater({"/u", "Full", "fw.bin", "/l", "b.s19"}, Environment());
  ASSERT_EQ(build->Wait(30s), 0) << build->Out() << build->Err();
  testing_support::Pty com1;
  ASSERT_TRUE(com1.ok());
  ASSERT_EQ(0, symlink(com1.path().c_str(), (tmp / "ports/com1").c_str()));
  auto sim = testing_support::StartIndicator(SIM_PATH, tmp, "com37", {"--exit-after-update"});
  auto updater = Updater({"/p", "COM37"}, Environment(), tmp / "Full.exe");
  EXPECT_EQ(updater->Wait(90s), 0) << updater->Out() << updater->Err();
  EXPECT_EQ(sim->Wait(10s), 0);
  ExpectImageIsTheFirmware();
  const std::string log = LogFile();
  EXPECT_NE(log.find("Sending {ZA1} at 9600 baud rate on COM37. Timeout set to 1000"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("Can not open"), std::string::npos) << log;
  EXPECT_EQ(log.find("COM1."), std::string::npos) << log;
  EXPECT_EQ(com1.Receive(1, 300), "");
}

// A mistyped port name is told, with exit code 1, before any port is opened, in every run mode that updates.
TEST_F(ProcessTest, AMistypedPortNameEndsTheStartBeforeAnyPortOpens) {
  testing_support::Pty com1;
  ASSERT_TRUE(com1.ok());
  ASSERT_EQ(0, symlink(com1.path().c_str(), (tmp / "ports/com1").c_str()));
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"/p"}, "The port name is empty"},
      {{"/i", "fw.bin", "b.s19", "--port", "ttyUSB0"}, "\"ttyUSB0\" is not a port name"},
      {{"/i", "fw.bin", "\\P", "COM256"}, "COM ports are numbered from 1 to 255"},
      {{"/p", "COM3", "/p", "rfc2217://scale"}, "has no TCP port"},
  };
  for (const auto& c : cases) {
    const std::string what = ::testing::PrintToString(c.args);
    auto updater = Updater(c.args, Environment());
    EXPECT_EQ(updater->Wait(30s), 2) << what << updater->Err();
    EXPECT_NE(updater->Out().find(c.says), std::string::npos) << what << updater->Out();
    const std::string log = LogFile();
    EXPECT_NE(log.find(c.says), std::string::npos) << what << log;
    EXPECT_EQ(log.find("Sending"), std::string::npos) << what << log;
    EXPECT_EQ(log.find("Can not open"), std::string::npos) << what << log;
  }
  EXPECT_EQ(com1.Receive(1, 300), "");
}

TEST_F(ProcessTest, WithoutADisplayTheConsoleSaysWhatIsMissing) {
  auto updater =
      Updater({}, Environment({{"BRAE_CONSOLE", std::nullopt}, {"QT_QPA_PLATFORM", std::nullopt}}));
  EXPECT_EQ(updater->Wait(30s), 2) << updater->Err();
  EXPECT_EQ(updater->Out().substr(0, 47), "[Update Message--3.1c]\nNo LoadS19 file inside.\n");
  EXPECT_EQ(LogFile(), "\r\n");
}

TEST_F(ProcessTest, ADisplayThatDoesNotAnswerGivesTheConsole) {
  auto updater = Updater({}, Environment({{"BRAE_CONSOLE", std::nullopt},
                                          {"QT_QPA_PLATFORM", std::nullopt},
                                          {"DISPLAY", ":87"}}));  // no X server there
  EXPECT_EQ(updater->Wait(30s), 2) << updater->Err();
  EXPECT_NE(updater->Err().find("no display answers at DISPLAY=:87"), std::string::npos) << updater->Err();
  EXPECT_EQ(updater->Out().substr(0, 47), "[Update Message--3.1c]\nNo LoadS19 file inside.\n");
  EXPECT_EQ(LogFile(), "\r\n");
}

// --help and --version answer on stdout and end, even on a copy that would otherwise start an update at once,
// and with a display: no port is opened, no window shown, no log file written.
TEST_F(ProcessTest, HelpAndVersionNeverTouchAPort) {
  auto build = Updater({"/u", "Full", "fw.bin", "/l", "b.s19"}, Environment());
  ASSERT_EQ(build->Wait(30s), 0) << build->Out() << build->Err();
  std::filesystem::remove_all(tmp / "log");  // the build's
  auto sim = Indicator();
  // The simulator's first line (its line's state) comes once it runs; nothing may follow it.
  std::string transcript;
  for (int i = 0; i < 500 && (transcript = ReadFile(tmp / "sim.txt")).empty(); ++i)
    std::this_thread::sleep_for(10ms);
  const Env window = {{"BRAE_CONSOLE", "0"}, {"QT_QPA_PLATFORM", "offscreen"}};
  const Env deadDisplay = {
      {"BRAE_CONSOLE", std::nullopt}, {"QT_QPA_PLATFORM", std::nullopt}, {"DISPLAY", ":87"}};
  const std::string usage = "Usage: brae-update [options]\n";
  const std::string logHere = "  here: " + (tmp / "log/") + kLogName + "\n";
  struct {
    std::vector<std::string> args;
    Env env;
    std::string begins;
  } cases[] = {
      {{"--help"}, {}, usage},
      {{"-h"}, window, usage},
      {{"/?"}, deadDisplay, usage},
      {{"/b", "/x", "--help"}, {}, usage},
      {{"--version"}, {}, "brae-update 3.1 (ver3.1c)\n"},
      {{"--version", "--help"}, window, "brae-update 3.1 (ver3.1c)\n"},
  };
  for (const auto& c : cases) {
    auto updater = Updater(c.args, Environment(c.env), tmp / "Full.exe");
    EXPECT_EQ(updater->Wait(10s), 0) << c.args[0] << updater->Err();
    const std::string out = updater->Out();
    EXPECT_EQ(out.substr(0, c.begins.size()), c.begins) << out;
    if (c.begins == usage) {
      EXPECT_NE(out.find(logHere), std::string::npos) << out;
    } else {
      EXPECT_EQ(out, c.begins);
    }
    EXPECT_EQ(updater->Err(), "");
  }
  EXPECT_EQ(ReadFile(tmp / "sim.txt"), transcript);
  EXPECT_FALSE(std::filesystem::exists(tmp / "log"));
  // As the value of an option the word keeps its meaning: here a firmware file that is not there.
  auto updater = Updater({"/i", "-h"}, Environment(), tmp / "Full.exe");
  EXPECT_EQ(updater->Wait(10s), 2);
  EXPECT_NE(updater->Out().find("[Update Message]\nCan not open firmware file: -h: No such file"),
            std::string::npos)
      << updater->Out();
}

// Waits until the updater has sent to the silent indicator: its signal handling is in place by then.
void WaitForFirstCommand(TempDir& tmp) {
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(tmp / "sim.txt").find("{ZA1}") != std::string::npos; }, 30s))
      << ReadFile(tmp / "sim.txt");
}

TEST_F(ProcessTest, SigtermClosesTheConsoleLikeExit) {
  auto sim = Indicator({"--silent"});
  auto updater = Updater({"/i", tmp / "fw.bin", tmp / "b.s19"}, Environment({{"BRAE_CONSOLE_LOG", "1"}}));
  WaitForFirstCommand(tmp);
  updater->Signal(SIGTERM);
  EXPECT_EQ(updater->Wait(20s), 1);
  // The live log went to the error stream, and the same lines to the file.
  EXPECT_NE(updater->Err().find("Sending {ZA1} at 9600 baud rate on COM4"), std::string::npos)
      << updater->Err();
  EXPECT_NE(LogFile().find("Sending {ZA1} at 9600 baud rate on COM4"), std::string::npos);
}

TEST_F(ProcessTest, SigintClosesTheWindowLikeExit) {
  auto sim = Indicator({"--silent"});
  auto updater = Updater({"/i", tmp / "fw.bin", tmp / "b.s19"},
                         Environment({{"BRAE_CONSOLE", "0"}, {"QT_QPA_PLATFORM", "offscreen"}}));
  WaitForFirstCommand(tmp);
  updater->Signal(SIGINT);
  EXPECT_EQ(updater->Wait(20s), 1) << updater->Err();
  EXPECT_NE(LogFile().find("Brae update version is 3.1c"), std::string::npos);
}

}  // namespace
