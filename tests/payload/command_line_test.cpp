// Every run-mode case of the command line, as one table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "payload/CommandLine.h"

namespace payload {
namespace {

struct Case {
  std::vector<std::string> args;  // after the program path
  int mode;
  std::string target, firmware, loader;
  bool boot, exitWhenDone;
  bool web = false;
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
  os << "[";
  for (const auto& a : c.args) os << " '" << a << "'";
  return os << " ]";
}

class PayloadRunModes : public ::testing::TestWithParam<Case> {};

TEST_P(PayloadRunModes, Parse) {
  const Case& c = GetParam();
  std::vector<std::string> args{"/opt/brae/Update.exe"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  CommandLine cl = ParseCommandLine(args);
  EXPECT_EQ(Number(cl.RunMode), c.mode);
  EXPECT_EQ(cl.TargetName, c.target);
  EXPECT_EQ(cl.FirmwarePath, c.firmware);
  EXPECT_EQ(cl.LoaderPath, c.loader);
  EXPECT_EQ(cl.BootFlag, c.boot);
  EXPECT_EQ(cl.ExitWhenDone, c.exitWhenDone);
  EXPECT_EQ(cl.WebPage, c.web);
  EXPECT_EQ(cl.ShowDebugButton, !c.args.empty());
}

INSTANTIATE_TEST_SUITE_P(
    PayloadCommandLine, PayloadRunModes,
    ::testing::Values(
        // mode  target  firmware  loader  boot  exit
        Case{{}, 0, "", "", "", false, false}, Case{{"/b"}, 0, "", "", "", true, false},
        Case{{"\\B"}, 0, "", "", "", true, false}, Case{{"/x"}, 0, "", "", "", false, true},
        Case{{"\\x"}, 0, "", "", "", false, false},  // /x has no backslash form
        Case{{"hello"}, 0, "", "", "", false, false}, Case{{"/i", "b.bin"}, 3, "", "b.bin", "", false, false},
        Case{{"/i", "b.bin", "b.s19"}, 4, "", "b.bin", "b.s19", false, false},
        Case{{"/i", "b.bin", "/b"}, 3, "", "b.bin", "", true, false},
        Case{{"/i", "b.bin", "\\U", "N", "c.bin"}, 1, "N", "c.bin", "", false, false},
        Case{{"/I", "B.BIN"}, 3, "", "B.BIN", "", false, false},
        Case{{"\\i", "Fw.Bin", "Ld.S19"}, 4, "", "Fw.Bin", "Ld.S19", false, false},
        Case{{"/i"}, 4, "", "", "", false, false},
        Case{{"/b", "/i", "b.bin"}, 3, "", "b.bin", "", true, false},
        Case{{"/i", "b.bin", "/x"}, 4, "", "b.bin", "/x", false, true},
        Case{{"/x", "/i", "b.bin"}, 3, "", "b.bin", "", false, true},
        Case{{"/u", "Name", "b.bin"}, 1, "Name", "b.bin", "", false, false},
        Case{{"/U", "MyName", "B.bin"}, 1, "MyName", "B.bin", "", false, false},
        Case{{"/u", "Name", "b.bin", "/l", "b.s19"}, 2, "Name", "b.bin", "b.s19", false, false},
        Case{{"/l", "b.s19", "/u", "Name", "b.bin"}, 2, "Name", "b.bin", "b.s19", false, false},
        Case{{"/l", "b.s19"}, 5, "", "", "b.s19", false, false},
        Case{{"\\L", "B.S19"}, 5, "", "", "B.S19", false, false},
        Case{{"/i", "b.bin", "/l", "b.s19"}, 5, "", "b.bin", "b.s19", false, false},
        Case{{"/i", "b.bin", "/u", "Name", "c.bin"}, 1, "Name", "c.bin", "", false, false},
        Case{{"\\u", "Name", "b.bin", "\\l", "b.s19", "/x"}, 2, "Name", "b.bin", "b.s19", false, true},
        Case{{"/u"}, 1, "", "", "", false, false}, Case{{"/u", "Name"}, 1, "Name", "", "", false, false},
        Case{{"/l"}, 5, "", "", "", false, false},
        Case{{"/l", "/x"}, 5, "", "", "/x", false, false},  // the path after /l is not an option
        Case{{"/u", "/b", "b.bin"}, 1, "/b", "b.bin", "", false, false},
        Case{{"/i", "a.bin", "/i", "b.bin"}, 3, "", "b.bin", "", false, false},
        Case{{"/bb", "/", "\\", "x"}, 0, "", "", "", false, false},
        // /w is /u writing a web page; a later /u or /i overrides it.
        Case{{"/w", "Name", "b.bin"}, 1, "Name", "b.bin", "", false, false, true},
        Case{{"\\W", "Name", "b.bin", "/l", "b.s19"}, 2, "Name", "b.bin", "b.s19", false, false, true},
        Case{{"/l", "b.s19", "--web", "Name", "b.bin"}, 2, "Name", "b.bin", "b.s19", false, false, true},
        Case{{"--WEB=N.html", "b.bin", "/x"}, 1, "N.html", "b.bin", "", false, true, true},
        Case{{"/i", "b.bin", "/w", "N", "c.bin"}, 1, "N", "c.bin", "", false, false, true},
        Case{{"/w", "N", "b.bin", "/u", "M", "c.bin"}, 1, "M", "c.bin", "", false, false, false},
        Case{{"/w", "N", "b.bin", "/i", "c.bin"}, 3, "N", "c.bin", "", false, false, false},
        Case{{"/w"}, 1, "", "", "", false, false, true},
        Case{{"/w", "N", "/l", "b.s19"}, 2, "N", "/l", "b.s19", false, false, true}));

TEST(PayloadCommandLine, FromMainArguments) {
  const char* argv[] = {"prog", "/I", "Fw.bin", "ld.s19", "/x"};
  CommandLine cl = ParseCommandLine(5, argv);
  EXPECT_EQ(cl.RunMode, RunMode::BothFiles);
  EXPECT_EQ(cl.FirmwarePath, "Fw.bin");
  EXPECT_EQ(cl.LoaderPath, "ld.s19");
  EXPECT_TRUE(cl.ExitWhenDone);
  EXPECT_EQ(ParseCommandLine(0, nullptr).RunMode, RunMode::Embedded);
  EXPECT_EQ(ParseCommandLine(std::vector<std::string>{}).RunMode, RunMode::Embedded);
}

// /p names a port in every run mode; its name is never read as an option, nor an option as the loader.
TEST(PayloadCommandLine, PortNamesInEveryRunMode) {
  struct PortCase {
    std::vector<std::string> args;
    int mode;
    std::vector<std::string> ports;
    std::string firmware, loader;
    bool exitWhenDone;
  } const cases[] = {
      {{"/p", "COM37"}, 0, {"COM37"}, "", "", false},
      {{"/P", "com3"}, 0, {"com3"}, "", "", false},
      {{"\\p", "/dev/ttyUSB0"}, 0, {"/dev/ttyUSB0"}, "", "", false},
      {{"--port", "rfc2217://scale:2001"}, 0, {"rfc2217://scale:2001"}, "", "", false},
      {{"--PORT", "COM2"}, 0, {"COM2"}, "", "", false},
      {{"/p", "COM1", "/p", "/dev/ttyS0", "--port", "COM9"},
       0,
       {"COM1", "/dev/ttyS0", "COM9"},
       "",
       "",
       false},
      {{"/p", "\\\\.\\COM37", "/x"}, 0, {"\\\\.\\COM37"}, "", "", true},
      {{"/i", "b.bin", "/p", "COM37"}, 3, {"COM37"}, "b.bin", "", false},
      {{"/i", "b.bin", "--port", "COM37"}, 3, {"COM37"}, "b.bin", "", false},
      {{"/i", "b.bin", "b.s19", "/p", "COM37"}, 4, {"COM37"}, "b.bin", "b.s19", false},
      {{"/p", "COM37", "/i", "b.bin", "b.s19"}, 4, {"COM37"}, "b.bin", "b.s19", false},
      {{"/u", "N", "b.bin", "/p", "COM37"}, 1, {"COM37"}, "b.bin", "", false},
      {{"/l", "b.s19", "/p", "COM37"}, 5, {"COM37"}, "", "b.s19", false},
      // A name that looks like an option is still a name.
      {{"/p", "/l", "/p", "/x"}, 0, {"/l", "/x"}, "", "", false},
      {{"/p", "/i"}, 0, {"/i"}, "", "", false},
      // Nothing after /p: an empty name, which the start refuses.
      {{"/p"}, 0, {""}, "", "", false},
      {{"/i", "b.bin", "/p"}, 3, {""}, "b.bin", "", false},
      // Not the option: the argument is only a word.
      {{"/pp", "COM3", "-p", "COM4", "/p=COM5"}, 0, {}, "", "", false},
      // The long form takes its value after "=" as well, "=" and all after the first.
      {{"--port=COM5", "--PORT=rfc2217://h:1?a=b"}, 0, {"COM5", "rfc2217://h:1?a=b"}, "", "", false},
  };
  for (const PortCase& c : cases) {
    std::vector<std::string> args{"/opt/brae/Update.exe"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CommandLine cl = ParseCommandLine(args);
    const std::string what = ::testing::PrintToString(c.args);
    EXPECT_EQ(Number(cl.RunMode), c.mode) << what;
    EXPECT_EQ(cl.Ports, c.ports) << what;
    EXPECT_EQ(cl.FirmwarePath, c.firmware) << what;
    EXPECT_EQ(cl.LoaderPath, c.loader) << what;
    EXPECT_EQ(cl.ExitWhenDone, c.exitWhenDone) << what;
    EXPECT_TRUE(cl.ShowDebugButton) << what;
  }
  EXPECT_TRUE(ParseCommandLine(std::vector<std::string>{"prog", "/b"}).Ports.empty());
}

}  // namespace
}  // namespace payload

TEST(PayloadCommandLine, AllInEveryPlace) {
  struct AllCase {
    std::vector<std::string> args;
    bool all;
    int mode;
    std::string firmware, loader;
  } const cases[] = {
      {{"/all"}, true, 0, "", ""},
      {{"--all"}, true, 0, "", ""},
      {{"\\ALL"}, true, 0, "", ""},
      // After the firmware file /all is the option, never the loader file.
      {{"/i", "b.bin", "/all"}, true, 3, "b.bin", ""},
      {{"/i", "b.bin", "b.s19", "/all"}, true, 4, "b.bin", "b.s19"},
      {{"/all", "/i", "b.bin", "b.s19", "/p", "COM3"}, true, 4, "b.bin", "b.s19"},
      // A port name that reads "/all" is a name.
      {{"/p", "/all"}, false, 0, "", ""},
      {{"/al", "-all", "/alll"}, false, 0, "", ""},
  };
  for (const AllCase& c : cases) {
    std::vector<std::string> args{"brae-update"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const payload::CommandLine cl = payload::ParseCommandLine(args);
    const std::string what = ::testing::PrintToString(c.args);
    EXPECT_EQ(cl.All, c.all) << what;
    EXPECT_EQ(payload::Number(cl.RunMode), c.mode) << what;
    EXPECT_EQ(cl.FirmwarePath, c.firmware) << what;
    EXPECT_EQ(cl.LoaderPath, c.loader) << what;
  }
}

// What the options added for scripts parse to, and which arguments are named as ignored.
TEST(PayloadCommandLine, CheckTimeoutAndIgnoredArguments) {
  struct ExtraCase {
    std::vector<std::string> args;
    bool check;
    int timeout;
    bool timeoutRefused;
    std::vector<std::string> ignored;
    std::string loader;
    bool loaderOverrides;
  } const cases[] = {
      {{"--check"}, true, 0, false, {}, "", false},
      {{"/CHECK", "/i", "b.bin"}, true, 0, false, {}, "", false},
      // After the firmware file the new options are options, never the loader.
      {{"/i", "b.bin", "--check"}, true, 0, false, {}, "", false},
      {{"/i", "b.bin", "--timeout", "20"}, false, 20, false, {}, "", false},
      {{"--timeout=20", "/i", "b.bin", "b.s19"}, false, 20, false, {}, "b.s19", false},
      {{"--timeout", "0"}, false, 0, true, {}, "", false},
      {{"--timeout", "20s"}, false, 0, true, {}, "", false},
      {{"--timeout"}, false, 0, true, {}, "", false},
      {{"--timeout", "86401"}, false, 0, true, {}, "", false},
      // A number after --timeout is never an option or a stray word.
      {{"--timeout", "/b"}, false, 0, true, {}, "", false},
      {{"--frobnicate", "-i", "fw.bin", "foo.bin"},
       false,
       0,
       false,
       {"--frobnicate", "-i", "fw.bin", "foo.bin"},
       "",
       false},
      {{"/i", "fw.bin", "ld.s19", "extra"}, false, 0, false, {"extra"}, "ld.s19", false},
      {{"--check=yes", "/checks"}, false, 0, false, {"--check=yes", "/checks"}, "", false},
      // /l after /i builds UpdateLoad.exe: said, since nothing is updated.
      {{"/i", "fw.bin", "/l", "ld.s19"}, false, 0, false, {}, "ld.s19", true},
      {{"/u", "N", "fw.bin", "/l", "ld.s19"}, false, 0, false, {}, "ld.s19", false},
      {{"/l", "ld.s19"}, false, 0, false, {}, "ld.s19", false},
  };
  for (const ExtraCase& c : cases) {
    std::vector<std::string> args{"brae-update"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const payload::CommandLine cl = payload::ParseCommandLine(args);
    const std::string what = ::testing::PrintToString(c.args);
    EXPECT_EQ(cl.Check, c.check) << what;
    EXPECT_EQ(cl.TimeoutSeconds, c.timeout) << what;
    EXPECT_EQ(!cl.TimeoutError.empty(), c.timeoutRefused) << what << ": " << cl.TimeoutError;
    EXPECT_EQ(cl.Ignored, c.ignored) << what;
    EXPECT_EQ(cl.LoaderPath, c.loader) << what;
    EXPECT_EQ(cl.LoaderOverridesUpdate, c.loaderOverrides) << what;
  }
}
