// Start-up of brae-update: the window when a display is there, the console otherwise (or as BRAE_CONSOLE
// says). Both run the same controller; they differ only in what shows its reports.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/SignalBridge.h"
#include "app/core/ConsolePresentation.h"
#include "app/core/LogFile.h"
#include "app/core/StartupChoice.h"
#include "app/core/UpdateController.h"
#include "app/main.h"
#include "app/messagedlg.h"
#include "toolkit/qt/QtRuntime.h"

namespace {

// The terminal's own width, else what COLUMNS says; 0 when neither knows.
int TerminalColumns(std::FILE* stream) {
  winsize size{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  const char* columns = std::getenv("COLUMNS");
  return columns ? std::max(0, std::atoi(columns)) : 0;
}

int RunWindow(int argc, char** argv, const std::vector<std::string>& args) {
  QApplication application(argc, argv);
  tk::QtRuntime runtime;
  tk::Install(&runtime);
  int code;
  {
    app::TUpdateForm form({app::LogDirectoryFromEnvironment(), "/proc/self/exe", false});
    app::TErrorMessageDlg dialog([&form] { form.BtnExitClick(); });
    form.SetErrorDialog(&dialog);
    runtime.SetMessageBoxHandler([&form](const std::string& text, const std::string& caption) {
      app::ShowMessageBox(&form, text, caption);
    });
    app::SignalBridge signalBridge([&form](int) { form.BtnExitClick(); });
    form.show();
    form.FormShow(args);
    if (!form.Controller().Closed()) application.exec();
    code = app::FinishProgram(runtime, form.Controller());
    // The dialog is destroyed before the window: the window lets it go first.
    form.SetErrorDialog(nullptr);
    runtime.SetMessageBoxHandler(nullptr);
  }
  tk::Install(nullptr);
  return code;
}

int RunConsole(int argc, char** argv, const std::vector<std::string>& args) {
  // No widgets and no display: the core application's event loop carries the engine, its timers and signals.
  QCoreApplication application(argc, argv);
  tk::QtRuntime runtime;
  tk::Install(&runtime);
  int code;
  {
    // For programs (BRAE_CONSOLE=json) the output carries JSON lines only, the human text goes to stderr.
    const bool json = app::ConsoleChoiceOf(std::getenv("BRAE_CONSOLE")) == app::ConsoleChoice::kJson;
    const char* live = std::getenv("BRAE_CONSOLE_LOG");
    const bool liveLog = live && std::strcmp(live, "1") == 0;
    app::ConsolePresentation console({json, liveLog, [](std::FILE* f) { return isatty(fileno(f)) == 1; },
                                      [](int exitCode) { QCoreApplication::exit(exitCode); },
                                      TerminalColumns});
    app::UpdateController controller(console.View(),
                                     {app::LogDirectoryFromEnvironment(), "/proc/self/exe", true});
    controller.SetErrorDialog(&console.Dialog());
    runtime.SetMessageBoxHandler([&console](const std::string& text, const std::string& caption) {
      console.MessageBox(text, caption);
    });
    app::SignalBridge signalBridge([&controller](int) { controller.Close(); });
    controller.FormShow(args);
    if (!controller.Closed()) application.exec();
    code = app::FinishProgram(runtime, controller);
    runtime.SetMessageBoxHandler(nullptr);
  }
  tk::Install(nullptr);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed output pipe must not end the program before the engine has stopped and the log is written.
  signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> args(argv, argv + argc);
  // Answered before anything else: no port, no window, no log file, whatever the program carries.
  const app::InfoRequest info = app::RequestedInfo(args);
  if (info != app::InfoRequest::kNone) {
    const std::string text = info == app::InfoRequest::kHelp
                                 ? app::UsageText(app::LogDirectoryFromEnvironment())
                                 : app::VersionText();
    const bool written = std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
    return written ? 0 : 1;
  }
  const char* braeConsole = std::getenv("BRAE_CONSOLE");
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (app::UseConsole(braeConsole, display, wayland)) return RunConsole(argc, argv, args);
  // Chosen by DISPLAY alone: an X server that does not answer would end the program inside the windowing
  // library, before any log is written.
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (!braeConsole && !(wayland && *wayland) && !(platform && *platform) &&
      !app::XDisplayReachable(display)) {
    std::fprintf(stderr, "brae-update: no display answers at DISPLAY=%s; running in the console\n", display);
    return RunConsole(argc, argv, args);
  }
  return RunWindow(argc, argv, args);
}
