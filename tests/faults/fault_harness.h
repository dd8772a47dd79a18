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
#include "tests/support/updater.h"

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
  Env Environment(const Env& extra = {}) { return testing_support::UpdaterEnvironment(tmp, extra); }

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
    extra.insert(extra.begin(), "--exit-after-update");
    return testing_support::StartIndicator(SIM_PATH, tmp, "com1", extra);
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
