// Helpers of the updater's program tests: scratch directories, files, payload buffers and files, and the
// updater and the simulated indicator as processes.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/payloads.h"
#include "tests/support/process.h"

namespace apptest {

using namespace std::chrono_literals;

using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

inline std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  if (start != text.size()) lines.push_back(text.substr(start) + "<no CR LF>");
  return lines;
}

using testing_support::FirmwareImage;
using testing_support::LoaderText;
using testing_support::Process;
using testing_support::WaitUntil;

}  // namespace apptest
