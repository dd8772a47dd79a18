// The error log file on Windows: where it goes, and how it replaces an older one.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "app/core/LogFile.h"
#include "app/core/Texts.h"
#include "toolkit/win32/Text.h"

namespace app {
namespace {

namespace fs = std::filesystem;

// Paths in UTF-8, as the log file's calls take them.
fs::path P(const std::string& utf8) {
  return fs::path(tk::win32::Widen(utf8));
}
std::string U8(const fs::path& p) {
  return tk::win32::Narrow(p.wstring());
}

struct Folder {
  fs::path path =
      fs::temp_directory_path() / P("brae-log-\xc3\xbc-" + std::to_string(std::random_device{}()));
  Folder() { fs::create_directories(path); }
  ~Folder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return U8(path / P(name)); }
  std::vector<std::string> List(const std::string& sub = "") const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(path / P(sub))) names.push_back(U8(e.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
  }
};

std::string Read(const std::string& path) {
  std::ifstream in(P(path), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(LogFileWindows, ThePlaceByPriority) {
  struct Case {
    const char* logDir;
    bool serviceFolder;
    const char* localAppData;
    std::string expected;
  } cases[] = {
      {"D:\\logs", true, "C:\\Users\\t\\AppData\\Local", "D:\\logs"},  // the variable wins over both
      {"", true, "C:\\Users\\t\\AppData\\Local", "c:\\Temp"},          // empty counts as unset
      {nullptr, true, nullptr, "c:\\Temp"},
      {nullptr, false, "C:\\Users\\t\\AppData\\Local", "C:\\Users\\t\\AppData\\Local\\brae-update"},
      {nullptr, false, "", ""},
      {nullptr, false, nullptr, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LogDirectory(c.logDir, c.serviceFolder, c.localAppData), c.expected)
        << (c.logDir ? c.logDir : "(unset)") << " " << c.serviceFolder;
  }
}

TEST(LogFileWindows, TheEnvironmentIsReadAsUnicode) {
  Folder folder;
  const std::string dir = folder / "logs-\xe2\x82\xac";
  ASSERT_TRUE(SetEnvironmentVariableW(L"BRAE_LOG_DIR", tk::win32::Widen(dir).c_str()));
  EXPECT_EQ(LogDirectoryFromEnvironment(), dir);
  SetEnvironmentVariableW(L"BRAE_LOG_DIR", nullptr);
  const std::string local = folder / "local";
  SetEnvironmentVariableW(L"LOCALAPPDATA", tk::win32::Widen(local).c_str());
  const bool serviceFolder = fs::is_directory("c:\\Temp");
  EXPECT_EQ(LogDirectoryFromEnvironment(), serviceFolder ? "c:\\Temp" : local + "\\brae-update");
}

TEST(LogFileWindows, WrittenIntoNewFoldersAndReplacingAnOlderFileWithNothingLeftBeside) {
  Folder folder;
  const std::string dir = folder / "a\\b\\c";
  LogFileResult r = WriteLogFile(dir, kLogFileName, "first\r\n");
  ASSERT_TRUE(r.Written) << r.Error;
  EXPECT_EQ(r.Path, dir + "\\" + kLogFileName);
  EXPECT_EQ(Read(r.Path), "first\r\n");
  const std::string longer(200000, 'x');
  r = WriteLogFile(dir + "\\", kLogFileName, longer);  // a trailing separator makes no double one
  ASSERT_TRUE(r.Written) << r.Error;
  EXPECT_EQ(r.Path, dir + "\\" + kLogFileName);
  EXPECT_TRUE(Read(r.Path) == longer);
  EXPECT_EQ(folder.List("a\\b\\c"), std::vector<std::string>{kLogFileName});
}

TEST(LogFileWindows, WhatCannotBeWrittenSaysWhyAndLeavesNothing) {
  Folder folder;
  std::ofstream(P(folder / "file")) << "x";
  fs::create_directories(P(folder / "held") / kLogFileName);  // a folder holds the name
  struct Case {
    std::string dir, errorStart;
  } cases[] = {
      {"", "no directory for the log file"},
      {folder / "file", folder / "file: "},
      {folder / "file\\below", folder / "file: "},  // the parent in the way is named
      {folder / "bad<name>", "cannot create " + (folder / "bad<name>") + ": "},
      {folder / "held", folder / "held\\" + kLogFileName + ": "},
  };
  for (const Case& c : cases) {
    const LogFileResult r = WriteLogFile(c.dir, kLogFileName, "text");
    EXPECT_FALSE(r.Written) << c.dir;
    EXPECT_EQ(r.Error.rfind(c.errorStart, 0), 0u) << r.Error;
  }
  EXPECT_EQ(folder.List(), (std::vector<std::string>{"file", "held"}));
  EXPECT_EQ(folder.List("held"), std::vector<std::string>{kLogFileName});
}

}  // namespace
}  // namespace app
