// The error dialog's messages: each code's lines, its formatting, and the dialog's sizing rule. Shared by the
// window's dialog and the console, so a code reads the same in both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace app {

// Shown by nobody in the engine; it takes itself down after a while.
inline constexpr uint32_t kRestoredCode = 17;
inline constexpr int kRestoredHideMs = 3000;

struct ErrorText {
  std::vector<std::string> Lines;
  // Code 2: the first two lines in the 12-point bold heading format, the rest in 10-point regular.
  bool ProblemFormat = false;
  // Code 17: the dialog hides itself after kRestoredHideMs unless another code came.
  bool HidesItself = false;
};

// The lines of a code; a code without a text gives no lines.
ErrorText ErrorTextFor(uint32_t code);

struct DialogGeometry {
  int TextHeight;
  int DialogHeight;
  int QuitTop;
};

// Sized from the number of lines the text box holds: 15 pixels a line plus room for the button.
DialogGeometry DialogGeometryFor(int lineCount);

}  // namespace app
