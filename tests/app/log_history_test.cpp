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

const RunStart kStart = RunStart(1796850903123ms);  // 2026-12-09 21:15:03.123 UTC

struct History : ::testing::Test {
  fs::path dir = fs::temp_directory_path() / ("brae-history-" + std::to_string(std::random_device{}()));
  fs::path history = dir / kLogHistorySubdirectory;
  ~History() override { fs::remove_all(dir); }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(history)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
};

TEST_F(History, NamesSortByTheStartAndOnlyTheirsCountAsHistory) {
  const std::string stamp = HistoryFileName(kLogFileName, kStart).substr(0, 21);
  EXPECT_EQ(HistoryFileName(PortLogFileName("/dev/ttyUSB0"), kStart), stamp + ".ttyUSB0.TXT");
  EXPECT_LT(HistoryFileName(kLogFileName, kStart + 1ms), HistoryFileName(kLogFileName, kStart + 1s));
  for (const auto& [name, ok] : std::vector<std::pair<std::string, bool>>{{stamp + ".TXT", true},
                                                                          {stamp + ".Com3.TXT", true},
                                                                          {stamp + ".rfc_2001-x.TXT", true},
                                                                          {stamp + ".txt", false},
                                                                          {stamp + "..TXT", false},
                                                                          {stamp + ".a.b.TXT", false},
                                                                          {"2026-12-09_22150.123.TXT", false},
                                                                          {"notes.TXT", false},
                                                                          {stamp + ".TXT.old", false}})
    EXPECT_EQ(IsHistoryFileName(name), ok) << name;
#ifndef _WIN32
  // Local time, not UTC: one hour east of it.
  const char* tz = std::getenv("TZ");
  const std::string saved = tz ? tz : "";
  setenv("TZ", "BRAE-1", 1);
  tzset();
  EXPECT_EQ(HistoryFileName(kLogFileName, kStart), "2026-12-09_221503.123.TXT");
  tz ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
#endif
}

TEST_F(History, FiftyOneRunsKeepTheNewestFiftyAndNothingElseIsTouched) {
  // Older than every run, but a folder, and a name of the pattern's with more to it: neither is a run's.
  const std::string old = HistoryFileName(kLogFileName, kStart - 1h);
  fs::create_directories(history / old);
  const std::vector<std::string> foreign = {"notes.txt", old + ".bak", old};
  for (const std::string& name : foreign) std::ofstream(history / name) << "mine";
  for (int run = 0; run < 51; ++run) {
    const LogFileResult r =
        WriteLogFile(dir.string(), kLogFileName, "run " + std::to_string(run), kStart + run * 1s);
    ASSERT_TRUE(r.Written && r.Note.empty()) << r.Error << r.Note;
  }
  std::vector<std::string> names = Names();
  for (const std::string& name : foreign) {
    EXPECT_TRUE(std::count(names.begin(), names.end(), name)) << name;
    names.erase(std::remove(names.begin(), names.end(), name), names.end());
  }
  ASSERT_EQ(names.size(), kLogHistoryKept);
  EXPECT_EQ(names.front(), HistoryFileName(kLogFileName, kStart + 1s));
  EXPECT_EQ(Read(history / names.back()), "run 50");
  EXPECT_EQ(Read(dir / kLogFileName), "run 50");
}

TEST_F(History, ARunWrittenTwiceIsOneFileAndABatchsPortsEachHaveTheirs) {
  for (const char* text : {"at close", "at close, and what came after"}) {
    WriteLogFile(dir.string(), kLogFileName, text, kStart);
    for (const char* port : {"Com3", "COM37"})
      WriteLogFile(dir.string(), PortLogFileName(port), port, kStart);
  }
  const std::string stamp = HistoryFileName(kLogFileName, kStart).substr(0, 21);
  EXPECT_EQ(Names(), (std::vector<std::string>{stamp + ".COM37.TXT", stamp + ".Com3.TXT", stamp + ".TXT"}));
  EXPECT_EQ(Read(history / (stamp + ".TXT")), "at close, and what came after");
  EXPECT_EQ(Read(history / (stamp + ".COM37.TXT")), "COM37");
}

TEST_F(History, AHistoryThatCannotBeKeptLeavesTheLogFileAndSaysWhy) {
  fs::create_directories(dir);
  std::ofstream(history) << "a file in the folder's place";
  LogFileResult r = WriteLogFile(dir.string(), kLogFileName, "log", kStart);
  EXPECT_TRUE(r.Written) << r.Error;
  EXPECT_EQ(Read(dir / kLogFileName), "log");
  EXPECT_NE(r.Note.find(history.string()), std::string::npos) << r.Note;
#ifndef _WIN32
  // Nor is it kept through a link.
  fs::remove(history);
  fs::create_directories(dir / "elsewhere");
  fs::create_directory_symlink(dir / "elsewhere", history);
  r = WriteLogFile(dir.string(), kLogFileName, "log", kStart);
  EXPECT_TRUE(r.Written && r.Note.find("link") != std::string::npos) << r.Note;
  EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
#endif
  // Without a start, as before: the file alone.
  fs::remove_all(dir);
  EXPECT_TRUE(WriteLogFile(dir.string(), kLogFileName, "log").Written);
  EXPECT_FALSE(fs::exists(history));
}

}  // namespace
}  // namespace app
