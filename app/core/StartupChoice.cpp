#include "app/core/StartupChoice.h"

namespace app {

bool UseConsole(const char* braeConsole, const char* display, const char* waylandDisplay) {
  const ConsoleChoice choice = ConsoleChoiceOf(braeConsole);
  if (choice == ConsoleChoice::kText || choice == ConsoleChoice::kJson) return true;
  if (choice == ConsoleChoice::kWindow) return false;
  const bool hasDisplay = (display && *display) || (waylandDisplay && *waylandDisplay);
  return !hasDisplay;
}

}  // namespace app
