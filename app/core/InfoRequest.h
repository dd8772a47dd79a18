// The requests the program answers before anything else (no port, no window, no log file): its usage text
// and its version. Both systems share them; the usage text tells each one's own places and variables.
#pragma once

#include <string>
#include <vector>

namespace app {

// A request answered on stdout (a Windows program started without a console shows it in a message box),
// without opening a port, a window or the log file.
enum class InfoRequest { kNone, kHelp, kVersion };

// "--help", "-h" or "/?" ask for the usage text, "--version" for the version, as words the command line
// does without (args[0] is the program). A word it takes as the value of an option (a firmware file named
// "-h" after /i, the name after /u) keeps that meaning and asks for nothing; one whose value is overwritten
// later changes nothing and so is a request. The first request wins.
InfoRequest RequestedInfo(const std::vector<std::string>& args);

// The usage text: run modes, environment variables, exit codes, and where the error log file goes
// (logDirectory: where it goes here; empty when there is no place for it).
// The environment and the log file's places are this system's own.
std::string UsageText(const std::string& logDirectory);

// "brae-update 3.1 (ver3.1c)" and a line end: the package's version, then the one the window shows.
std::string VersionText();

}  // namespace app
