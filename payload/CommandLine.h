// The command line: which of the six run modes the program is in, the payload paths, the name of a new
// updater, and the two flags.
//
//   (no /u, /i, /l)            0  update from the embedded loader and firmware
//   /u Name fw                 1  build Name.exe with fw embedded
//   /u Name fw /l ld           2  build Name.exe with both embedded (the /l pair may come first)
//   /i fw                      3  update from fw with the embedded loader
//   /i fw ld                   4  update from both files
//   /l ld                      5  build UpdateLoad.exe with ld embedded
//   /b                            boot flag for the update engine
//   /x                            close the window as soon as the update ends
// Options also take a backslash ("\u"), except /x; letters in any case; any argument shows the
// "DiagnosticMode" button.
#pragma once

#include <string>
#include <vector>

namespace payload {

struct CommandLine {
  int RunMode = 0;
  std::string TargetName;
  std::string FirmwarePath;
  std::string LoaderPath;
  bool BootFlag = false;
  bool ExitWhenDone = false;
  bool ShowDebugButton = false;
};

// args[0] is the program's own path, the options follow. No argument is rejected: a missing argument after an
// option reads as an empty string, which the later stages report as a file that cannot be opened.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The same from main's arguments.
CommandLine ParseCommandLine(int argc, const char* const* argv);

}  // namespace payload
