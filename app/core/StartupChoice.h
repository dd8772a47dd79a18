// Which presentation the program takes, and the requests it answers before any presentation starts.
#pragma once

#include <string>
#include <vector>

#include "app/core/InfoRequest.h"

namespace app {

// What BRAE_CONSOLE asks for: "1" the console, "json" its form for programs ("JSON" too: letters in any
// case, as for the command line's options), "0" the window; unset or anything else leaves the choice open.
// On every system (the header alone on Windows).
enum class ConsoleChoice { kOpen, kText, kJson, kWindow };
inline ConsoleChoice ConsoleChoiceOf(const char* value) {
  if (!value) return ConsoleChoice::kOpen;
  const std::string v = value;
  if (v == "1") return ConsoleChoice::kText;
  if (v == "0") return ConsoleChoice::kWindow;
  const char* json = "json";
  if (v.size() != 4) return ConsoleChoice::kOpen;
  for (size_t i = 0; i < 4; ++i) {
    if ((v[i] | 0x20) != json[i]) return ConsoleChoice::kOpen;
  }
  return ConsoleChoice::kJson;
}

// The console when BRAE_CONSOLE asks for it (ConsoleChoiceOf), the window when it is "0"; otherwise the
// console only when there is no display (neither DISPLAY nor WAYLAND_DISPLAY set and not empty).
bool UseConsole(const char* braeConsole, const char* display, const char* waylandDisplay);

// Whether an X server answers at DISPLAY ("[host]:N[.S]"): its local socket, or TCP port 6000 + N on a host,
// tried for at most about a second. The windowing library ends the process when it cannot reach the display,
// so the program asks first and takes the console instead.
bool XDisplayReachable(const char* display);
}  // namespace app
