// The updater and the simulated indicator as the program tests start them: in a private directory with its
// own port and log directories, never on a display, never on a real port.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/process.h"

namespace testing_support {

// brae-update's environment: the console, the port and log directories under `dir`, then `extra` on top.
inline Process::Env UpdaterEnvironment(const TempDir& dir, const Process::Env& extra = {}) {
  Process::Env env = {{"BRAE_CONSOLE", "1"},
                      {"BRAE_PORT_DIR", dir / "ports"},
                      {"BRAE_LOG_DIR", dir / "log"},
                      {"DISPLAY", std::nullopt},
                      {"WAYLAND_DISPLAY", std::nullopt},
                      {"BRAE_CONSOLE_LOG", std::nullopt},
                      // A sanitizer's report must not pass for the ordinary failure exit code 1.
                      {"ASAN_OPTIONS", "exitcode=66"}};
  for (const auto& [k, v] : extra) env[k] = v;
  return env;
}

// The simulator `program` linked as `port` in dir/ports, keeping the image it confirms in image.bin and its
// transcript in sim.txt; returns once the link is there (a failed check otherwise).
inline std::unique_ptr<Process> StartIndicator(const std::string& program, const TempDir& dir,
                                               const std::string& port,
                                               const std::vector<std::string>& extra = {}) {
  using namespace std::chrono_literals;
  const std::string link = dir / ("ports/" + port);
  // A link left by a simulator that was killed names a dead pty, whose number another may have now: it is
  // not this simulator's, and the wait below is for this one's.
  std::filesystem::remove(link);
  std::vector<std::string> args = {program,     "--link", link,           "--image-out",  dir / "image.bin",
                                   "--timeout", "60000",  "--transcript", dir / "sim.txt"};
  args.insert(args.end(), extra.begin(), extra.end());
  auto sim =
      std::make_unique<Process>(args, Process::Env{}, dir.path, dir / "sim-out.txt", dir / "sim-err.txt");
  EXPECT_TRUE(WaitUntil([&] { return std::filesystem::is_symlink(link); }, 5s)) << "no link " << link;
  return sim;
}

}  // namespace testing_support
