// Which presentation the program takes, and the requests it answers before any presentation starts.
#pragma once

#include <string>
#include <vector>

namespace app {

// The console when BRAE_CONSOLE is "1" (or "json", its form for programs), the window when it is "0";
// otherwise the console only when there is no display (neither DISPLAY nor WAYLAND_DISPLAY set and not
// empty).
bool UseConsole(const char* braeConsole, const char* display, const char* waylandDisplay);

// Whether an X server answers at DISPLAY ("[host]:N[.S]"): its local socket, or TCP port 6000 + N on a host,
// tried for at most about a second. The windowing library ends the process when it cannot reach the display,
// so the program asks first and takes the console instead.
bool XDisplayReachable(const char* display);

// A request answered on stdout without opening a port, a window or the log file.
enum class InfoRequest { kNone, kHelp, kVersion };

// "--help", "-h" or "/?" ask for the usage text, "--version" for the version, as words the command line
// does without (args[0] is the program). A word it takes as the value of an option (a firmware file named
// "-h" after /i, the name after /u) keeps that meaning and asks for nothing; one whose value is overwritten
// later changes nothing and so is a request. The first request wins.
InfoRequest RequestedInfo(const std::vector<std::string>& args);

// The usage text: run modes, environment variables, exit codes, and where the error log file goes
// (logDirectory: where it goes here; empty when there is no place for it).
std::string UsageText(const std::string& logDirectory);

// "brae-update 3.1 (ver3.1c)" and a line end: the package's version, then the one the window shows.
std::string VersionText();

}  // namespace app
