// The script recipe of docs/usage.md, taken from the page as it stands and run by bash with jq against the
// simulated indicator: what the page promises a script writer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "tests/app/app_support.h"
#include "tests/support/updater.h"

namespace {

using namespace std::chrono_literals;
using apptest::ReadFile;
using apptest::TempDir;
using apptest::WriteFile;

// The indented lines after the recipe's introduction, unindented.
std::string Recipe() {
  std::istringstream page(ReadFile(BRAE_SOURCE_DIR "/docs/usage.md"));
  std::string line, recipe;
  bool in = false;
  while (std::getline(page, line)) {
    if (line.rfind("Updating from a script", 0) == 0) in = true;
    if (!in || (line.empty() && recipe.empty())) continue;
    if (line.rfind("    ", 0) != 0 && !line.empty()) {
      if (!recipe.empty()) break;
      continue;
    }
    recipe += (line.empty() ? "" : line.substr(4)) + "\n";
  }
  return recipe;
}

TEST(JsonRecipe, TheDocumentedScriptTellsSuccessAndTheMessageOfAFailure) {
  ASSERT_EQ(std::system("command -v jq >/dev/null"), 0) << "jq is missing; scripts/setup.sh installs it";
  const std::string recipe = Recipe();
  ASSERT_NE(recipe.find("brae-update /i fw.bin"), std::string::npos) << recipe;
  struct Case {
    std::vector<std::string> indicator;
    bool ok;
    const char* said;
  } const cases[] = {
      {{"--exit-after-update"}, true, "updated with fw.bin crc16="},
      {{"--ft", "9251"}, false, "This indicator does not have enough space."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.said);
    TempDir tmp;
    std::filesystem::create_directories(tmp / "ports");
    std::filesystem::create_directories(tmp / "bin");
    WriteFile(tmp / "fw.bin", testing_support::FirmwareImage(20000));
    WriteFile(tmp / "ld.s19", testing_support::LoaderText());
    WriteFile(tmp / "recipe.sh", recipe);
    const auto env = testing_support::UpdaterEnvironment(tmp);
    // The recipe calls brae-update with the firmware alone: a copy carrying the loader, first on PATH.
    auto buildEnv = env;
    buildEnv["BRAE_LOG_DIR"] = tmp / "build-log";  // the build's run keeps a log of its own
    testing_support::Process build({BRAE_UPDATE, "/l", tmp / "ld.s19"}, buildEnv, tmp / "bin",
                                   tmp / "build.txt", tmp / "build.txt");
    ASSERT_EQ(build.Wait(30s), 0) << ReadFile(tmp / "build.txt");
    std::filesystem::create_symlink("UpdateLoad.exe", tmp / "bin/brae-update");
    auto sim = testing_support::StartIndicator(SIM_PATH, tmp, "com4", c.indicator);
    auto withPath = env;
    withPath["PATH"] = tmp / "bin" + ":" + std::getenv("PATH");
    testing_support::Process script({"/bin/bash", "recipe.sh"}, withPath, tmp.path, tmp / "out.txt",
                                    tmp / "err.txt");
    const int code = script.Wait(90s);
    const std::string out = ReadFile(tmp / "out.txt");
    EXPECT_NE(out.find(c.said), std::string::npos) << out << ReadFile(tmp / "err.txt");
    const std::string jsonl = ReadFile(tmp / "update.jsonl");
    EXPECT_NE(jsonl.find("\"exit_code\":" + std::to_string(code) + ","), std::string::npos) << jsonl;
    EXPECT_EQ(code == 0, c.ok) << code;
    // The run's log, written at its close and again at the program's end, is one copy in the history.
    std::vector<std::string> kept;
    for (const auto& f : std::filesystem::directory_iterator(tmp / "log/history"))
      kept.push_back(ReadFile(f.path()));
    EXPECT_EQ(kept, std::vector<std::string>{ReadFile(tmp / "log/VeltronaUpdateBraeError.TXT")});
  }
}

}  // namespace
