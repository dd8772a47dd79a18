// What every fault case needs: a private directory with a port directory and a log directory, the updater
// and the simulated indicator as processes, and the checks of a sound end.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/payloads.h"
#include "tests/support/process.h"

namespace faults {

using namespace std::chrono_literals;
using testing_support::Process;
using testing_support::ReadFile;
using testing_support::WriteFile;
using Env = Process::Env;

inline constexpr char kLogName[] = "VeltronaUpdateBraeError.TXT";

class FaultCase : public ::testing::Test {
 protected:
  FaultCase() { std::filesystem::create_directory(tmp / "ports"); }

  // The console, the private port and log directories; never a display, never a real port.
  Env Environment(const Env& extra = {}) {
    Env env = {{"BRAE_CONSOLE", "1"},
               {"BRAE_PORT_DIR", tmp / "ports"},
               {"BRAE_LOG_DIR", tmp / "log"},
               {"DISPLAY", std::nullopt},
               {"WAYLAND_DISPLAY", std::nullopt},
               {"BRAE_CONSOLE_LOG", std::nullopt},
               // A sanitizer's report must not pass for the ordinary failure exit code 1.
               {"ASAN_OPTIONS", "exitcode=66"}};
    for (const auto& [k, v] : extra) env[k] = v;
    return env;
  }

  // brae-update (or a copy it wrote) with `args`, in the private directory; output in <name>-out.txt.
  std::unique_ptr<Process> Updater(std::vector<std::string> args, const std::string& program = BRAE_UPDATE,
                                   const Env& extra = {}, const std::string& name = "updater") {
    args.insert(args.begin(), program);
    return std::make_unique<Process>(args, Environment(extra), tmp.path, tmp / (name + "-out.txt"),
                                     tmp / (name + "-err.txt"));
  }

  // Runs the updater to its end; its exit code (-1 when it has not ended within `limit`).
  int RunUpdater(std::vector<std::string> args, const std::string& program = BRAE_UPDATE,
                 std::chrono::milliseconds limit = 60s) {
    auto updater = Updater(std::move(args), program);
    const int code = updater->Wait(limit);
    out = updater->Out();
    err = updater->Err();
    return code;
  }

  // The simulated indicator on Com1, unpaced, keeping the image it confirms in image.bin.
  std::unique_ptr<Process> Indicator(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {
        SIM_PATH,    "--link", tmp / "ports/com1", "--image-out",   tmp / "image.bin",
        "--timeout", "60000",  "--transcript",     tmp / "sim.txt", "--exit-after-update"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto sim = std::make_unique<Process>(args, Env{}, tmp.path, tmp / "sim-out.txt", tmp / "sim-err.txt");
    EXPECT_TRUE(
        testing_support::WaitUntil([&] { return std::filesystem::is_symlink(tmp / "ports/com1"); }, 5s));
    return sim;
  }

  // The image the indicator confirmed is `firmware`, byte for byte.
  void ExpectConfirmedImage(const std::string& firmware) {
    const std::string image = ReadFile(tmp / "image.bin");
    EXPECT_EQ(image.size(), firmware.size());
    EXPECT_TRUE(image == firmware) << "the confirmed image differs from the firmware";
  }

  std::string LogFile() { return ReadFile(tmp / (std::string("log/") + kLogName)); }
  bool Exists(const std::string& name) { return std::filesystem::exists(tmp / name); }

  testing_support::TempDir tmp;
  std::string out, err;  // of the last RunUpdater
};

}  // namespace faults
