// The command line: which of the six run modes the program is in, the payload paths, the name of a new
// updater, and the two flags.
//
//   (no /u, /w, /i, /l)        0  update from the embedded loader and firmware
//   /u Name fw                 1  build Name.exe with fw embedded
//   /u Name fw /l ld           2  build Name.exe with both embedded (the /l pair may come first)
//   /w Name fw [/l ld]         1, 2 the same as a web page, Name.html (WebPage); also --web Name fw
//   /i fw                      3  update from fw with the embedded loader
//   /i fw ld                   4  update from both files
//   /l ld                      5  build UpdateLoad.exe with ld embedded
//   /b                            boot flag for the update engine
//   /x                            close the window as soon as the update ends
//   /p NAME, --port NAME          the port to update on (repeatable: the ports, in order); without it the
//                                 scan tries Com1 to Com25
//   /all, --all                   every port at once (Com1 to Com25, or the /p ports), one update per
//                                 indicator found
//   /check, --check               identify the indicator and check the firmware's fit; change nothing
//   --timeout SECONDS             end the run when SECONDS pass without progress
// The long options with a value also take it as --name=value.
// Options also take a backslash ("\u"), except /x; letters in any case; any argument shows the
// "DiagnosticMode" button.
#pragma once

#include <string>
#include <vector>

namespace payload {

// The run modes, numbered as above.
enum class RunMode : int {
  Embedded = 0,       // update from the embedded loader and firmware
  BuildFirmware = 1,  // build an updater with the firmware embedded
  BuildBoth = 2,      // build an updater with both embedded
  FirmwareFile = 3,   // update from a firmware file with the embedded loader
  BothFiles = 4,      // update from a firmware file and a loader file
  BuildLoader = 5,    // build UpdateLoad.exe with the loader embedded
};

constexpr int Number(RunMode m) {
  return static_cast<int>(m);
}
constexpr bool BuildsUpdater(RunMode m) {
  return m == RunMode::BuildFirmware || m == RunMode::BuildBoth || m == RunMode::BuildLoader;
}
// What a build embeds.
constexpr bool EmbedsFirmware(RunMode m) {
  return m == RunMode::BuildFirmware || m == RunMode::BuildBoth;
}
constexpr bool EmbedsLoader(RunMode m) {
  return m == RunMode::BuildBoth || m == RunMode::BuildLoader;
}
// Where an update takes its payloads from: a file, or else the embedded buffer.
constexpr bool FirmwareFromFile(RunMode m) {
  return m == RunMode::FirmwareFile || m == RunMode::BothFiles;
}
constexpr bool LoaderFromFile(RunMode m) {
  return m == RunMode::BothFiles;
}

struct CommandLine {
  payload::RunMode RunMode = payload::RunMode::Embedded;
  std::string TargetName;
  std::string FirmwarePath;
  std::string LoaderPath;
  bool BootFlag = false;
  bool ExitWhenDone = false;
  // /w: the build (run mode 1 or 2) writes a web page from the page template instead of a program.
  bool WebPage = false;
  bool ShowDebugButton = false;
  // The ports named by /p, in the order given and unchecked; empty: the default scan.
  std::vector<std::string> Ports = {};
  // /all: one update on each port at once (a batch).
  bool All = false;
  // /check: identify and check the fit, send nothing that changes the indicator.
  bool Check = false;
  // --timeout: seconds without progress after which the run ends; 0: none. TimeoutError says why a given
  // value is no number of seconds (the start is refused then).
  int TimeoutSeconds = 0;
  std::string TimeoutError = {};
  // Arguments that no option took, in order: each is named as ignored.
  std::vector<std::string> Ignored = {};
  // /l came after an update's /i: the program builds UpdateLoad.exe instead of updating.
  bool LoaderOverridesUpdate = false;
};

// Whether ParseCommandLine reads `a` (any case) as one of its options.
bool IsOption(const std::string& a);

// args[0] is the program's own path, the options follow. No argument is rejected: a missing argument after an
// option reads as an empty string, which the later stages report as a file that cannot be opened.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The same from main's arguments.
CommandLine ParseCommandLine(int argc, const char* const* argv);

}  // namespace payload
