// The operating system is called from its own folders only: in the libraries, a file outside posix/, win32/
// and web/ (the browser) is portable, and a reader can tell so from the path. The Linux program's start-up
// (signals, the terminal) is the one exception.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path kRoot = BRAE_SOURCE_DIR;

// The headers that belong to one system: POSIX and Linux, or Windows.
const std::regex kOsInclude(
    R"(^\s*#\s*include\s*<((unistd|fcntl|dirent|termios|poll|pwd|netdb|sys/[a-z_]+|linux/[a-z_]+)\.h|)"
    R"((windows|winsock2|ws2tcpip|io|aclapi)\.h|emscripten(/[a-z_0-9]+)?\.h)>)",
    std::regex::icase);

bool InOsFolder(const std::string& relative) {
  return relative.find("/posix/") != std::string::npos || relative.find("/win32/") != std::string::npos ||
         relative.find("/web/") != std::string::npos;
}

// The files of the libraries and programs that must keep their OS calls in their rooms.
std::vector<std::string> CheckedFiles() {
  const std::vector<std::string> exceptions = {"app/update.cpp", "app/SignalBridge.cpp"};
  std::vector<std::string> files;
  for (const char* top : {"toolkit", "serial", "engine", "payload", "app"}) {
    for (const auto& e : fs::recursive_directory_iterator(kRoot / top)) {
      const std::string ext = e.path().extension().string();
      if (!e.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
      const std::string relative = fs::relative(e.path(), kRoot).generic_string();
      if (InOsFolder("/" + relative) ||
          std::find(exceptions.begin(), exceptions.end(), relative) != exceptions.end())
        continue;
      files.push_back(relative);
    }
  }
  return files;
}

TEST(Layout, TheOsHeadersAreRecognised) {
  const struct {
    const char* line;
    bool os;
  } rows[] = {
      {"#include <unistd.h>", true},
      {"#include <sys/stat.h>", true},
      {"  #  include <linux/serial.h>", true},
      {"#include <windows.h>", true},
      {"#include <io.h>", true},
      {"#include <emscripten.h>", true},
      {"#include <emscripten/html5.h>", true},
      {"#include <pwd.h>", true},
      {"#include <cstdio>", false},
      {"#include <ctime>", false},
      {"#include \"payload/OsFile.h\"", false},
      {"// #include <unistd.h> in a comment", false},
  };
  for (const auto& row : rows) EXPECT_EQ(row.os, std::regex_search(row.line, kOsInclude)) << row.line;
}

TEST(Layout, OnlyTheOsFoldersIncludeTheSystemsHeaders) {
  std::string found;
  for (const std::string& relative : CheckedFiles()) {
    std::ifstream in(kRoot / relative);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
      ++number;
      if (std::regex_search(line, kOsInclude))
        found += relative + ":" + std::to_string(number) + ": " + line + "\n";
    }
  }
  EXPECT_EQ("", found) << "System headers outside posix/, win32/ and web/: move the calls into the library's "
                          "posix/, win32/ and web/ files.";
}

}  // namespace
