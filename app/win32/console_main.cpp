// brae-update on Windows, for now the console presentation only (the native window is still to come): the
// same controller as on Linux, on the Win32 message loop. Ctrl+C or closing the console closes the update
// like Exit, so the log is written.
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/core/ConsoleView.h"
#include "app/core/LogFile.h"
#include "app/core/UpdateController.h"
#include "payload/ExeFile.h"
#include "toolkit/Sync.h"
#include "toolkit/win32/Text.h"
// After <windows.h>: CommandLineToArgvW (WIN32_LEAN_AND_MEAN leaves it out).
#include <shellapi.h>
#include "toolkit/win32/Win32Runtime.h"

namespace {

// How long program end waits for the port's monitor threads.
constexpr uint32_t kThreadWaitMs = 5000;

app::UpdateController* g_controller = nullptr;

// The console's own thread: hands the close to the UI thread, as Exit would.
BOOL WINAPI OnConsoleEvent(DWORD) {
  if (tk::Installed() && g_controller) {
    app::UpdateController* controller = g_controller;
    tk::App().Synchronize([controller] { controller->Close(); });
    return TRUE;
  }
  return FALSE;
}

// The arguments as the user typed them, in UTF-8 (main's are in the system's ANSI code page).
std::vector<std::string> Arguments() {
  std::vector<std::string> args;
  int count = 0;
  if (wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = 0; i < count; ++i) args.push_back(tk::win32::Narrow(std::wstring(argv[i])));
    LocalFree(argv);
  }
  return args;
}

}  // namespace

int main() {
  const std::vector<std::string> args = Arguments();
  tk::Win32Runtime runtime;
  tk::Install(&runtime);
  int code;
  {
    app::ConsoleView::Options options;
    options.Terminal = _isatty(_fileno(stdout)) != 0;
    const std::string live = tk::win32::Environment(L"BRAE_CONSOLE_LOG");
    options.LiveLog = live == "1";
    options.OnEnd = [](int exitCode) { PostQuitMessage(exitCode); };
    app::ConsoleView view(options);
    app::UpdateController controller(
        view, {app::LogDirectoryFromEnvironment(), payload::SelfExecutablePath(), true});
    controller.SetErrorDialog(&view);
    runtime.SetMessageBoxHandler(
        [&view](const std::string& text, const std::string& caption) { view.MessageBox(text, caption); });
    g_controller = &controller;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    controller.FormShow(args);
    if (!controller.Closed()) runtime.Run();
    // Program end: release workers waiting for the UI thread, stop the engine, let the monitors end.
    runtime.Shutdown();
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    g_controller = nullptr;
    controller.Shutdown();
    tk::Thread::WaitForDetachedThreads(kThreadWaitMs);
    code = controller.ExitCode();
    runtime.SetMessageBoxHandler(nullptr);
  }
  tk::Install(nullptr);
  return code;
}
