#include "app/core/StartupChoice.h"

#include <cstring>

namespace app {

bool UseConsole(const char* braeConsole, const char* display, const char* waylandDisplay) {
  if (braeConsole && (std::strcmp(braeConsole, "1") == 0 || std::strcmp(braeConsole, "json") == 0))
    return true;
  if (braeConsole && std::strcmp(braeConsole, "0") == 0) return false;
  const bool hasDisplay = (display && *display) || (waylandDisplay && *waylandDisplay);
  return !hasDisplay;
}

}  // namespace app
