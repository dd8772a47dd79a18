// The console presentation as every system's program starts it: the human text on the output, or for
// programs (BRAE_CONSOLE=json) JSON lines on the output with the human text on the error stream.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "app/core/ConsoleView.h"
#include "app/core/JsonView.h"

namespace app {

class ConsolePresentation {
 public:
  struct Options {
    bool Json = false;
    // BRAE_CONSOLE_LOG=1: every diagnostic log line as it comes.
    bool LiveLog = false;
    // Whether a stream is a terminal (the system's own test).
    std::function<bool(std::FILE*)> IsTerminal;
    // Ends the message loop with the exit code.
    std::function<void(int)> OnEnd;
    // The width in columns of the terminal a stream is (0: unknown).
    std::function<int(std::FILE*)> Columns = {};
  };

  explicit ConsolePresentation(const Options& options);
  ConsolePresentation(const ConsolePresentation&) = delete;
  ConsolePresentation& operator=(const ConsolePresentation&) = delete;

  IView& View();
  engine::IErrorDialog& Dialog();
  // A modal message box, in the chosen presentation.
  void MessageBox(const std::string& text, const std::string& caption);

 private:
  const bool json_;
  ConsoleView human_;
  JsonView machine_;
};

}  // namespace app
