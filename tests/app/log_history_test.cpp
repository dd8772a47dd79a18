// Each run's log kept in the history folder beside the error log file (Linux and Windows alike).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>

#include "app/core/LogHistory.h"
#include "app/core/PortRun.h"
#include "app/core/Texts.h"

namespace app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Names = std::vector<std::string>;

const RunStart kStart = RunStart(1796850903123ms);  // 2026-12-09 21:15:03.123 UTC

struct History : ::testing::Test {
  fs::path dir = fs::temp_directory_path() / ("brae-history-" + std::to_string(std::random_device{}()));
  fs::path history = dir / kLogHistorySubdirectory;
  ~History() override { fs::remove_all(dir); }
  Names List() const {
    Names names;
    for (const auto& e : fs::directory_iterator(history)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::string stamp = HistoryFileName(kLogFileName, kStart).substr(0, 21);
};

TEST_F(History, NamesSortByTheStartInLocalTimeAndOnlyTheirsCount) {
  for (const auto& [name, ok] :
       std::vector<std::pair<std::string, bool>>{{stamp + ".TXT", true},
                                                 {stamp + ".rfc_2001-x.TXT", true},
                                                 {stamp + ".txt", false},
                                                 {stamp + "..TXT", false},
                                                 {stamp + ".a.b.TXT", false},
                                                 {"2026-12-09_22150.123.TXT", false}})
    EXPECT_EQ(IsHistoryFileName(name), ok) << name;
#ifndef _WIN32
  const char* tz = std::getenv("TZ");
  const std::string saved = tz ? tz : "";
  setenv("TZ", "BRAE-1", 1);  // an hour east of UTC
  tzset();
  EXPECT_EQ(HistoryFileName(kLogFileName, kStart), "2026-12-09_221503.123.TXT");
  tz ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
#endif
}

TEST_F(History, FiftyOneRunsKeepTheNewestFiftyAndNothingElseGoes) {
  // Older than every run, but a folder, or a name of the pattern's with more to it: neither is a run's.
  const std::string old = HistoryFileName(kLogFileName, kStart - 1h);
  fs::create_directories(history / old);
  std::ofstream(history / (old + ".bak")) << "mine";
  for (int run = 0; run < 51; ++run) {
    const LogFileResult r = WriteLogFile(dir.string(), kLogFileName, std::to_string(run), kStart + run * 1s);
    ASSERT_TRUE(r.Written && r.Note.empty()) << r.Error << r.Note;
  }
  Names names = List();
  ASSERT_EQ(names.size(), kLogHistoryKept + 2);
  EXPECT_EQ(Names(names.begin(), names.begin() + 3),
            (Names{old, old + ".bak", HistoryFileName(kLogFileName, kStart + 1s)}));
  EXPECT_EQ(Read(history / names.back()), "50");
}

TEST_F(History, ARunWrittenTwiceIsOneFileAndABatchsPortsEachHaveTheirs) {
  for (const char* text : {"at close", "at close, and after"}) {
    WriteLogFile(dir.string(), kLogFileName, text, kStart);
    for (const char* port : {"Com3", "/dev/ttyUSB0"})
      WriteLogFile(dir.string(), PortLogFileName(port), port, kStart);
  }
  EXPECT_EQ(List(), (Names{stamp + ".Com3.TXT", stamp + ".TXT", stamp + ".ttyUSB0.TXT"}));
  EXPECT_EQ(Read(history / (stamp + ".TXT")), "at close, and after");
}

TEST_F(History, AHistoryThatCannotBeKeptLeavesTheLogFileAndSaysWhy) {
  fs::create_directories(dir / "elsewhere");
  std::ofstream(history) << "a file in the folder's place";
  LogFileResult r = WriteLogFile(dir.string(), kLogFileName, "log", kStart);
  EXPECT_TRUE(r.Written && Read(dir / kLogFileName) == "log") << r.Error;
  EXPECT_NE(r.Note.find(history.string()), std::string::npos) << r.Note;
#ifndef _WIN32
  fs::remove(history);
  fs::create_directory_symlink(dir / "elsewhere", history);
  r = WriteLogFile(dir.string(), kLogFileName, "log", kStart);
  EXPECT_TRUE(r.Written && r.Note.find("link") != std::string::npos) << r.Note;
  EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
#endif
}

}  // namespace
}  // namespace app
