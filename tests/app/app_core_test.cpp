// The Qt-free side of the updater's program: the diagnostic log, the error log file and its directory, the
// error texts and dialog sizes, the choice of presentation, and what the console prints.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "app/core/ConsoleView.h"
#include "app/core/DiagnosticLog.h"
#include "app/core/ErrorTexts.h"
#include "app/core/LogFile.h"
#include "app/core/PortRun.h"
#include "app/core/StartupChoice.h"
#include "tests/app/app_support.h"

namespace {

using apptest::ReadFile;
using apptest::TempDir;
using apptest::WriteFile;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr char kName[] = "VeltronaUpdateBraeError.TXT";

TEST(DiagnosticLog, LinesSplitAtEveryBreakAndTheFileEndsEachWithCrLf) {
  app::DiagnosticLog log;
  EXPECT_EQ(log.Lines(), Lines{""});
  EXPECT_EQ(log.FileText(), "\r\n");

  EXPECT_EQ(log.Append("Firmware file size is 1234\r\n\r\n"), (Lines{"Firmware file size is 1234", "", ""}));
  EXPECT_EQ(log.Append("\r\nCan not open Com1 to communicate"),
            (Lines{"", "Can not open Com1 to communicate"}));
  EXPECT_EQ(log.Append(""), Lines{""});
  EXPECT_EQ(log.Append("a\nb\rc"), (Lines{"a", "b", "c"}));
  EXPECT_EQ(log.FileText(),
            "\r\nFirmware file size is 1234\r\n\r\n\r\n\r\nCan not open Com1 to "
            "communicate\r\n\r\na\r\nb\r\nc\r\n");
}

TEST(LogDirectory, TheVariableThenXdgStateThenHome) {
  EXPECT_EQ(app::LogDirectory("/var/x", "/s", "/h"), "/var/x");
  EXPECT_EQ(app::LogDirectory("", "/s", "/h"), "/s/brae-update");
  // A relative XDG_STATE_HOME is not a valid one.
  EXPECT_EQ(app::LogDirectory(nullptr, "rel", "/h"), "/h/.local/state/brae-update");
  EXPECT_EQ(app::LogDirectory(nullptr, nullptr, nullptr), "");
}

class LogFileTest : public ::testing::Test {
 protected:
  TempDir tmp;
};

TEST_F(LogFileTest, MissingDirectoriesAreCreatedPrivateAndTheFileReplacesAnEarlierOne) {
  const std::string dir = tmp / "state/brae-update";
  auto r = app::WriteLogFile(dir, kName, "first\r\n");
  ASSERT_TRUE(r.Written) << r.Error;
  EXPECT_EQ(r.Path, dir + "/" + kName);
  struct stat st {};
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((tmp / "state").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  r = app::WriteLogFile(dir, kName, "\r\nsecond\r\n");
  ASSERT_TRUE(r.Written) << r.Error;
  EXPECT_EQ(ReadFile(r.Path), "\r\nsecond\r\n");
  ASSERT_EQ(stat(r.Path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Nothing but the file is left in the directory.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(LogFileTest, ADirectoryThatCannotBeMadeWritesNothingAndSaysWhy) {
  WriteFile(tmp / "plain", "x");
  auto r = app::WriteLogFile(tmp / "plain/sub", kName, "log\r\n");
  EXPECT_FALSE(r.Written);
  EXPECT_NE(r.Error.find("plain"), std::string::npos) << r.Error;

  r = app::WriteLogFile("", kName, "log\r\n");
  EXPECT_FALSE(r.Written);
  EXPECT_FALSE(r.Error.empty());
}

TEST_F(LogFileTest, ASymlinkPlantedAtTheFilesPathIsReplacedAndItsTargetKept) {
  const std::string victim = tmp / "victim";
  WriteFile(victim, "precious");
  fs::create_directory(tmp / "log");
  fs::create_symlink(victim, tmp / (std::string("log/") + kName));
  // A link to nowhere must not create its target either.
  fs::create_directory(tmp / "log2");
  fs::create_symlink(tmp / "created-through-link", tmp / (std::string("log2/") + kName));

  auto r = app::WriteLogFile(tmp / "log", kName, "log\r\n");
  ASSERT_TRUE(r.Written) << r.Error;
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_FALSE(fs::is_symlink(r.Path));
  EXPECT_EQ(ReadFile(r.Path), "log\r\n");

  r = app::WriteLogFile(tmp / "log2", kName, "log\r\n");
  ASSERT_TRUE(r.Written) << r.Error;
  EXPECT_FALSE(fs::exists(tmp / "created-through-link"));
}

TEST_F(LogFileTest, AFileOfAnotherUserIsNeverReplaced) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
  const std::string path = tmp / kName;
  WriteFile(path, "theirs");
  ASSERT_EQ(chown(path.c_str(), 4242, 4242), 0);
  auto r = app::WriteLogFile(tmp.path, kName, "mine\r\n");
  EXPECT_FALSE(r.Written);
  EXPECT_NE(r.Error.find("another user"), std::string::npos) << r.Error;
  EXPECT_EQ(ReadFile(path), "theirs");
}

TEST_F(LogFileTest, TheLastStepSaysWhichPlaceFailedInTheSystemsWords) {
  fs::create_directories(tmp / "taken/" + kName + "/inside");  // a folder holds the file's name
  struct Case {
    std::string dir;
    bool written;
    std::string error;
  } const cases[] = {
      {tmp / "none", false, tmp / "none: No such file or directory"},
      {tmp / "taken", false, tmp / "taken/" + kName + ": Is a directory"},
      {tmp.path, true, ""},
  };
  for (const Case& c : cases) {
    app::LogFileResult r;
    r.Path = c.dir + "/" + kName;
    app::ReplaceLogFile(r, c.dir, "log\r\n");
    EXPECT_EQ(r.Written, c.written) << c.dir;
    EXPECT_EQ(r.Error, c.error) << c.dir;
  }
  EXPECT_EQ(ReadFile(tmp / kName), "log\r\n");
}

TEST(ErrorTexts, LineCountsSizeTheDialog) {
  const auto one = app::ErrorTextFor(1);
  ASSERT_EQ(one.Lines.size(), 10u);
  const auto g = app::DialogGeometryFor(static_cast<int>(one.Lines.size()));
  EXPECT_EQ(g.TextHeight, 200);
  EXPECT_EQ(g.DialogHeight, 300);
  EXPECT_EQ(g.QuitTop, 230);

  const auto four = app::ErrorTextFor(4);
  ASSERT_EQ(four.Lines.size(), 3u);
  EXPECT_EQ(four.Lines[2], "Contact Veltrona Service. service@veltrona.example");

  for (uint32_t code : {0u, 5u, 18u}) EXPECT_TRUE(app::ErrorTextFor(code).Lines.empty()) << code;
  const auto none = app::DialogGeometryFor(0);
  EXPECT_EQ(none.DialogHeight, 150);
  EXPECT_EQ(none.QuitTop, 80);

  EXPECT_TRUE(app::ErrorTextFor(2).ProblemFormat);
  EXPECT_EQ(app::ErrorTextFor(2).Lines.back(), "service@veltrona.example");
  EXPECT_TRUE(app::ErrorTextFor(17).HidesItself);
  EXPECT_EQ(app::ErrorTextFor(3).Lines[0], "No available COM port.  Please check that:");
}

TEST(StartupChoice, ConsoleWithoutADisplayOrWhenAskedFor) {
  EXPECT_TRUE(app::UseConsole(nullptr, nullptr, nullptr));
  EXPECT_TRUE(app::UseConsole(nullptr, "", ""));
  EXPECT_FALSE(app::UseConsole(nullptr, ":0", nullptr));
  EXPECT_FALSE(app::UseConsole(nullptr, nullptr, "wayland-0"));
  EXPECT_TRUE(app::UseConsole("1", ":0", nullptr));
  EXPECT_FALSE(app::UseConsole("0", nullptr, nullptr));
  EXPECT_FALSE(app::UseConsole("yes", ":0", nullptr));
  using C = app::ConsoleChoice;
  const std::vector<std::pair<const char*, C>> choices = {
      {"json", C::kJson},  {"JSON", C::kJson}, {"Json", C::kJson},  {"1", C::kText},    {"0", C::kWindow},
      {nullptr, C::kOpen}, {"", C::kOpen},     {"jsonl", C::kOpen}, {"JS0N", C::kOpen}, {" 1", C::kOpen}};
  for (const auto& [value, choice] : choices)
    EXPECT_EQ(app::ConsoleChoiceOf(value), choice) << (value ? value : "unset");
}

TEST(StartupChoice, HelpAndVersionOnlyWhereTheCommandLineIgnoresTheWord) {
  using R = app::InfoRequest;
  const R help = R::kHelp, version = R::kVersion, none = R::kNone;
  struct {
    std::vector<std::string> args;  // after the program's path
    R expected;
  } cases[] = {
      {{"--help"}, help},
      {{"-h"}, help},
      {{"/?"}, help},
      {{"--version"}, version},
      {{"/b", "/x", "--help"}, help},
      {{"--version", "-h"}, version},            // the first one wins
      {{"/i", "fw.bin", "/b", "--help"}, help},  // /b ended the files of /i
      {{"/l", "b.s19", "--version"}, version},
      {{"/i", "-h"}, none},                // a firmware file named -h
      {{"/i", "fw.bin", "--help"}, none},  // the loader file of /i
      {{"/i", "--help", "--help"}, none},  // both files
      {{"/u", "--help", "fw.bin"}, none},  // the name of the copy
      {{"/u", "Name", "--version"}, none},
      {{"/L", "/?"}, none},
      {{"/p", "--help"}, none},  // a port name, refused later
      {{"/p", "COM3", "--help"}, help},
      {{"--HELP"}, none},  // ignored words stay ignored
      {{"-help"}, none},
      {{"/h"}, none},
      {{"--help=1"}, none},
      {{}, none},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"brae-update"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(app::RequestedInfo(args), c.expected) << ::testing::PrintToString(c.args);
  }
  EXPECT_EQ(app::RequestedInfo({"--help"}), none) << "the program's own path asks for nothing";
}

TEST(StartupChoice, TheUsageNamesTheLogFileWithOneSeparator) {
  const std::string here = "  here: /var/log/brae/VeltronaUpdateBraeError.TXT\n";
  for (const std::string folder : {"/var/log/brae", "/var/log/brae/"}) {
    EXPECT_NE(app::UsageText(folder).find(here), std::string::npos) << folder;
  }
  EXPECT_EQ(app::UsageText("").find("here:"), std::string::npos) << "no folder, no line";
  EXPECT_NE(app::UsageText("").find("BRAE_CONSOLE      1: the terminal; json"), std::string::npos);
}

// The console writing into memory, with a clock the test moves.
class ConsoleTest : public ::testing::Test {
 protected:
  ConsoleTest() {
    out_ = open_memstream(&outBuf_, &outSize_);
    err_ = open_memstream(&errBuf_, &errSize_);
  }
  ~ConsoleTest() override {
    std::fclose(out_);
    std::fclose(err_);
    std::free(outBuf_);
    std::free(errBuf_);
  }
  app::ConsoleView Make(bool terminal, bool liveLog = false, int columns = 0) {
    app::ConsoleView::Options o;
    if (columns) o.Columns = [columns] { return columns; };
    o.Out = out_;
    o.Err = err_;
    o.Terminal = terminal;
    o.LiveLog = liveLog;
    o.Clock = [this] { return now_; };
    o.OnEnd = [this](int code) { endCode_ = code; };
    return app::ConsoleView(o);
  }
  std::string Out() {
    std::fflush(out_);
    return std::string(outBuf_, outSize_);
  }
  std::string Err() {
    std::fflush(err_);
    return std::string(errBuf_, errSize_);
  }

  uint64_t now_ = 1000;
  int endCode_ = -1;

 private:
  FILE* out_;
  FILE* err_;
  char* outBuf_ = nullptr;
  char* errBuf_ = nullptr;
  size_t outSize_ = 0;
  size_t errSize_ = 0;
};

TEST_F(ConsoleTest, PlainLinesAtEachTenthWithRateAndTimeLeft) {
  auto v = Make(false);
  v.StatusChanged("Sending new firmware. This will take approximately 3 minutes.");
  v.StatusChanged("Sending new firmware. This will take approximately 3 minutes.");  // no change, no line
  v.ProgressVisibleChanged(true);
  v.ProgressMaxChanged(100000);
  for (int p = 0; p <= 50000; p += 5000) {
    v.ProgressPositionChanged(p);
    now_ += 500;
  }
  v.ProgressVisibleChanged(false);
  v.ProgressPositionChanged(60000);  // hidden: nothing
  EXPECT_EQ(Out(),
            "Sending new firmware. This will take approximately 3 minutes.\n"
            "Progress:   0%  0/100000 bytes\n"
            "Progress:  10%  10000/100000 bytes  10.0 kB/s  0:09 left\n"
            "Progress:  20%  20000/100000 bytes  10.0 kB/s  0:08 left\n"
            "Progress:  30%  30000/100000 bytes  10.0 kB/s  0:07 left\n"
            "Progress:  40%  40000/100000 bytes  10.0 kB/s  0:06 left\n"
            "Progress:  50%  50000/100000 bytes  10.0 kB/s  0:05 left\n");
}

TEST_F(ConsoleTest, OnATerminalTheBarIsRedrawnInPlaceAndEndedBeforeOtherLines) {
  auto v = Make(true);
  v.ProgressVisibleChanged(true);
  v.ProgressMaxChanged(1000);
  now_ += 2000;
  v.ProgressPositionChanged(500);
  v.StatusChanged("Erasing firmware");
  const std::string out = Out();
  EXPECT_EQ(out,
            "\r[###############...............]  50%  500/1000 bytes  250 B/s  0:02 left\033[K"
            "\nErasing firmware\n");
}

// The order the controller reports a loader, the erase and a firmware transfer in.
TEST_F(ConsoleTest, OnATerminalNoBarBeforeItsBytesAtMostTenFramesASecondAndFullAtTheEnd) {
  auto v = Make(true);
  v.StatusChanged("Sending Load Program");
  v.ProgressVisibleChanged(true);
  v.ProgressMaxChanged(3000);
  EXPECT_EQ(Out(), "Sending Load Program\n") << "a bar before the loader's first byte";
  v.ProgressPositionChanged(0);
  now_ += 50;
  v.ProgressPositionChanged(1000);  // 50 ms after the last frame: not drawn
  now_ += 60;
  v.ProgressPositionChanged(2000);
  now_ += 10;
  v.ProgressPositionChanged(3000);  // the whole loader: drawn at once
  v.ProgressVisibleChanged(false);
  v.StatusChanged("Erasing firmware");
  v.ProgressPositionChanged(0);  // on "T" and at the transfer's start, while hidden
  v.ProgressVisibleChanged(true);
  v.ProgressMaxChanged(12000);
  v.StatusChanged("Sending new firmware. This will take approximately 3 minutes.");
  now_ += 1250;
  v.ProgressPositionChanged(5000);
  now_ += 1250;
  v.ProgressPositionChanged(10000);
  v.ProgressPositionChanged(12000);  // success
  v.StatusChanged("Update Successful. Click on Exit to quit the program.");
  EXPECT_EQ(Out(),
            "Sending Load Program\n"
            "\r[..............................]   0%  0/3000 bytes\033[K"
            "\r[###################...........]  66%  2000/3000 bytes\033[K"
            "\r[##############################] 100%  3000/3000 bytes\033[K\n"
            "Erasing firmware\n"
            "Sending new firmware. This will take approximately 3 minutes.\n"
            "\r[############..................]  41%  5000/12000 bytes  4.0 kB/s  0:02 left\033[K"
            "\r[########################......]  83%  10000/12000 bytes  4.0 kB/s  0:01 left\033[K"
            "\r[##############################] 100%  12000/12000 bytes  4.8 kB/s\033[K\n"
            "Update Successful. Click on Exit to quit the program.\n");
}

TEST_F(ConsoleTest, MessagesErrorTextsAndTheLiveLog) {
  auto quiet = Make(false);
  quiet.LogLinesAdded({"Sending {ZA1}"});
  EXPECT_EQ(Err(), "");

  auto v = Make(false, true);
  v.MessageBox("No firmware file inside.\r\n\r\n---Use", "Update Message--3.1c");
  v.ShowErrorMessage(4);
  v.LogLinesAdded({"", "Received: ^ length: 1"});
  v.LogFileDone({false, "/x/log", "/x: Permission denied", ""});
  v.EndProgram(1);
  EXPECT_EQ(Out(),
            "[Update Message--3.1c]\nNo firmware file inside.\n\n---Use\n"
            "--- Update Error Message ---\n"
            "The indicator type and the software to update is not a match.\n\n"
            "Contact Veltrona Service. service@veltrona.example\n"
            "----------------------------\n");
  EXPECT_EQ(Err(), "\nReceived: ^ length: 1\nThe diagnostic log was not written: /x: Permission denied\n");
  EXPECT_EQ(endCode_, 1);
}

TEST_F(ConsoleTest, ALogFileOutOfItsPlaceIsNamedWithWhyOnce) {
  auto v = Make(false);
  const app::LogFileResult moved{true, "C:\\L\\brae-update\\E.TXT", "",
                                 "The error log file cannot go to c:\\Temp (c:\\Temp: Access denied): it is "
                                 "C:\\L\\brae-update\\E.TXT"};
  v.LogFileDone(moved);
  v.LogFileDone(moved);  // written again at the program's end
  EXPECT_EQ(Out(), moved.Note + "\nDiagnostic log: " + moved.Path + "\n");
  EXPECT_EQ(Err(), "");
}

TEST(ConsoleFormat, RatesAndDurations) {
  EXPECT_EQ(app::ConsoleView::FormatRate(960), "960 B/s");
  EXPECT_EQ(app::ConsoleView::FormatRate(3840), "3.8 kB/s");
  EXPECT_EQ(app::ConsoleView::FormatDuration(59.6), "1:00");
  EXPECT_EQ(app::ConsoleView::FormatDuration(3725), "1:02:05");
  // A position past the end (the loader from a file can pass its size) shows as 100 %.
  EXPECT_EQ(app::ConsoleView::ProgressText(1200, 1000, 0), "100%  1200/1000 bytes");
  EXPECT_EQ(app::ConsoleView::ProgressText(5, 0, 0), "  0%  5/0 bytes");
  EXPECT_EQ(
      app::ConsoleView::CompactNames({"Com1", "Com2", "Com3", "Com5", "COM6", "/dev/ttyS0", "/dev/ttyS1"}),
      "Com1-Com3, Com5, COM6, /dev/ttyS0, /dev/ttyS1");
}

}  // namespace

TEST(PortRun, LogFileNamesStayInTheLogFolder) {
  const struct {
    const char* port;
    const char* file;
  } cases[] = {
      {"Com3", "VeltronaUpdateBraeError.Com3.TXT"},
      {"COM37", "VeltronaUpdateBraeError.COM37.TXT"},
      {"\\\\.\\COM37", "VeltronaUpdateBraeError.COM37.TXT"},
      {"/dev/ttyUSB0", "VeltronaUpdateBraeError.ttyUSB0.TXT"},
      {"/dev/serial/by-id/usb-FTDI_A1-if00-port0", "VeltronaUpdateBraeError.usb-FTDI_A1-if00-port0.TXT"},
      {"rfc2217://scale.local:2001", "VeltronaUpdateBraeError.scale_local_2001.TXT"},
      {"rfc2217://[::1]:2001", "VeltronaUpdateBraeError.___1__2001.TXT"},
      {"../../etc/x", "VeltronaUpdateBraeError.x.TXT"},
      {"..", "VeltronaUpdateBraeError.__.TXT"},
      {"/dev/", "VeltronaUpdateBraeError._dev_.TXT"},
      {"", "VeltronaUpdateBraeError._.TXT"},
  };
  for (const auto& c : cases) EXPECT_EQ(app::PortLogFileName(c.port), c.file) << c.port;
}

TEST(PortRun, ABatchIsOkOnlyWhenEveryPortThatOpenedWasUpdated) {
  using O = app::PortOutcome;
  const struct {
    std::vector<O> outcomes;
    bool ok;
  } cases[] = {
      {{O::Updated}, true},
      {{O::Updated, O::Skipped, O::Skipped}, true},
      {{O::Updated, O::Failed}, false},
      {{O::Updated, O::NoIndicator}, false},
      {{O::Updated, O::Running}, false},
      {{O::Skipped, O::Skipped}, false},
      {{}, false},
  };
  for (const auto& c : cases) {
    std::vector<app::PortResult> ports;
    for (O o : c.outcomes) ports.push_back({"Com1", "", o});
    EXPECT_EQ(app::BatchOk(ports), c.ok) << ports.size();
  }
}

TEST_F(ConsoleTest, ABatchLeadsEachPortsLinesWithItsNameAndEndsWithTheSummary) {
  auto v = Make(false);
  app::IPortView* com1 = v.PortAdded(0, "Com1");
  app::IPortView* com2 = v.PortAdded(1, "Com2");
  com1->StatusChanged("Sending Load Program");
  com2->ErrorChanged(2);
  com1->ProgressVisibleChanged(true);
  com1->ProgressMaxChanged(1000);
  com1->ProgressPositionChanged(1000);
  com2->MessageShown("no space");
  app::PortResult updated{"Com1", "", app::PortOutcome::Updated};
  updated.Seconds = 83;
  updated.LogFile = "/l/VeltronaUpdateBraeError.Com1.TXT";
  app::PortResult failed{"Com2", "", app::PortOutcome::Failed, 2, "Erasing firmware", "stopped"};
  for (int n : {4, 5, 6, 9}) {
    const std::string name = "Com" + std::to_string(n);
    v.PortAdded(static_cast<size_t>(n), name)
        ->Ended(
            {name, "", app::PortOutcome::Skipped, 0, "", name + " did not open: No such file or directory"});
  }
  com1->Ended(updated);
  com2->Ended(failed);
  v.BatchEnded({{updated, failed}, false, 90});
  const std::string out = Out();
  EXPECT_EQ(out.substr(0, out.find("Com2: --- Update Error Message ---")), "Com1: Sending Load Program\n");
  for (const char* line :
       {"\nCom2: ----------------------------\n", "\nCom1: Progress: 100%  1000/1000 bytes\n",
        "\nCom2: [Message]\nCom2: no space\n",
        "\nCom4-Com6, Com9 did not open: No such file or directory\n"
        "Com1: updated after 1:23; diagnostic log: /l/VeltronaUpdateBraeError.Com1.TXT\n",
        "\nCom2: FAILED after 0:00: stopped (error 2; last status: Erasing firmware)\n",
        "\nBatch NOT done after 1:30: 1 updated, 1 failed, 0 without an indicator, 0 skipped\n"
        "  Updated: Com1\n  Failed: Com2\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << "\nin:\n" << out;
  }
  EXPECT_EQ(out.find("Com5:"), std::string::npos) << out;
}

TEST_F(ConsoleTest, OnANarrowTerminalTheBarFitsAndAt80ColumnsIsAsItWas) {
  auto draw = [this](int columns, bool row) {
    const size_t from = Out().size();
    auto v = Make(true, false, columns);
    auto feed = [this](auto* view) {
      view->ProgressVisibleChanged(true);
      view->ProgressMaxChanged(120000);
      for (int p = 0; p <= 120000; p += 40000, now_ += 2000) view->ProgressPositionChanged(p);
      view->ProgressVisibleChanged(false);
    };
    row ? feed(v.PortAdded(0, "Com12")) : feed(&v);
    return Out().substr(from);
  };
  for (bool row : {false, true}) {
    if (!row) {
      EXPECT_EQ(draw(80, row), draw(0, row));
    }
    for (int columns : {50, 24, 12}) {
      SCOPED_TRACE(columns);
      std::string out = draw(columns, row);
      EXPECT_NE(out.find("100%"), std::string::npos) << out;
      // What each drawing leaves on its line, without the terminal's controls.
      for (const char* control : {"\033[K", "\033[J", "\033[1A"}) {
        for (size_t at; (at = out.find(control)) != std::string::npos;)
          out.replace(at, std::strlen(control), "\n");
      }
      for (size_t from = 0, end; from < out.size(); from = end + 1) {
        end = std::min(out.find_first_of("\r\n", from), out.size());
        EXPECT_LE(static_cast<int>(end - from), columns - 1) << out.substr(from, end - from);
      }
    }
  }
}

TEST_F(ConsoleTest, OnATerminalEachActivePortHasABarBelowTheLines) {
  auto v = Make(true);
  app::IPortView* com1 = v.PortAdded(0, "Com1");
  app::IPortView* com2 = v.PortAdded(1, "Com2");
  com1->ProgressVisibleChanged(true);
  com1->ProgressMaxChanged(1000);
  com1->ProgressPositionChanged(500);
  now_ += 200;
  com2->StatusChanged("Erasing firmware");
  now_ += 200;
  com1->ProgressVisibleChanged(false);
  const std::string bar = "Com1: [###############...............]  50%  500/1000 bytes\033[K\n";
  // The bar; a line above it, the bar drawn again below; the bar gone.
  EXPECT_EQ(Out(), bar + "\r\033[1A\033[JCom2: Erasing firmware\n" + bar + "\r\033[1A\033[J");
}
