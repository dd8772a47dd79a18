// Which presentation the program takes.
#pragma once

namespace app {

// The console when BRAE_CONSOLE is "1", the window when it is "0"; otherwise the console only when there is
// no display (neither DISPLAY nor WAYLAND_DISPLAY set and not empty).
bool UseConsole(const char* braeConsole, const char* display, const char* waylandDisplay);

}  // namespace app
