// Which presentation the program takes, and the requests it answers before any presentation starts.
#pragma once

#include <string>
#include <vector>

#include "app/core/InfoRequest.h"

namespace app {

// The console when BRAE_CONSOLE is "1" (or "json", its form for programs), the window when it is "0";
// otherwise the console only when there is no display (neither DISPLAY nor WAYLAND_DISPLAY set and not
// empty).
bool UseConsole(const char* braeConsole, const char* display, const char* waylandDisplay);

// Whether an X server answers at DISPLAY ("[host]:N[.S]"): its local socket, or TCP port 6000 + N on a host,
// tried for at most about a second. The windowing library ends the process when it cannot reach the display,
// so the program asks first and takes the console instead.
bool XDisplayReachable(const char* display);
}  // namespace app
