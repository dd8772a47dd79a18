// brae-update on Windows: the native window, or with BRAE_CONSOLE=1 (or =json) the console presentation in
// the console the program was started from; --help and --version are answered before either. Both run the
// same controller on the Win32 message loop. In the console, Ctrl+C or closing the console closes the update
// like Exit, so the log is written.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/core/ConsolePresentation.h"
#include "app/core/InfoRequest.h"
#include "app/core/LogFile.h"
#include "app/core/StartupChoice.h"
#include "app/core/UpdateController.h"
#include "payload/ExeFile.h"
#include "toolkit/win32/Text.h"
// After <windows.h>: CommandLineToArgvW (WIN32_LEAN_AND_MEAN leaves it out).
#include <commctrl.h>
#include <shellapi.h>

#include "app/win32/UpdateWindow.h"
#include "toolkit/win32/Win32Runtime.h"

namespace {

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

bool Redirected(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  return handle && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

// A window program has no console of its own: the output goes where the caller redirected it, or else to
// the console of the program that started it (a command prompt waits for nobody, so its prompt may come
// first).
void ConnectConsole() {
  const bool out = Redirected(STD_OUTPUT_HANDLE);
  const bool err = Redirected(STD_ERROR_HANDLE);
  if (out && err) return;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  if (!out) std::freopen("CONOUT$", "w", stdout);
  if (!err) std::freopen("CONOUT$", "w", stderr);
}

// Answers --help or --version where the caller can read it: the redirected output, else the console of the
// program that started this one; with neither (started from Explorer or a shortcut), in a message box. A
// console takes the text as UTF-16 (its code page need not be UTF-8); a file or pipe gets UTF-8.
int AnswerInfo(const std::string& text) {
  std::string lines;
  for (char ch : text) {
    if (ch == '\n') lines += '\r';
    lines += ch;
  }
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE console = INVALID_HANDLE_VALUE;
  if (!Redirected(STD_OUTPUT_HANDLE)) {
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
      console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
    }
    if (console == INVALID_HANDLE_VALUE) {
      MessageBoxW(nullptr, tk::win32::Widen(lines).c_str(), L"brae-update", MB_OK | MB_ICONINFORMATION);
      return 0;
    }
    out = console;
  }
  bool written = out != INVALID_HANDLE_VALUE && out != nullptr;
  DWORD mode = 0;
  if (written && GetConsoleMode(out, &mode)) {
    const std::wstring wide = tk::win32::Widen(lines);
    for (size_t done = 0; written && done < wide.size();) {
      DWORD n = 0;
      written = WriteConsoleW(out, wide.data() + done, static_cast<DWORD>(wide.size() - done), &n, nullptr) &&
                n > 0;
      done += n;
    }
  } else {
    for (size_t done = 0; written && done < lines.size();) {
      DWORD n = 0;
      written =
          WriteFile(out, lines.data() + done, static_cast<DWORD>(lines.size() - done), &n, nullptr) && n > 0;
      done += n;
    }
  }
  if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
  return written ? 0 : 1;
}

int RunConsole(tk::Win32Runtime& runtime, const std::vector<std::string>& args, bool json) {
  ConnectConsole();
  // The views write UTF-8: paths, and what the device sent.
  const tk::win32::Utf8Console utf8;
  const bool liveLog = tk::win32::Environment(L"BRAE_CONSOLE_LOG") == "1";
  // The console's width: that of its screen buffer, where a line wraps.
  auto columns = [](std::FILE* f) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    return GetConsoleScreenBufferInfo(handle, &info) ? static_cast<int>(info.dwSize.X) : 0;
  };
  app::ConsolePresentation console({json, liveLog, [](std::FILE* f) { return _isatty(_fileno(f)) != 0; },
                                    [](int exitCode) { PostQuitMessage(exitCode); }, columns});
  app::UpdateController controller(console.View(),
                                   {app::LogDirectoryFromEnvironment(), payload::SelfExecutablePath(), true});
  controller.SetErrorDialog(&console.Dialog());
  runtime.SetMessageBoxHandler(
      [&console](const std::string& text, const std::string& caption) { console.MessageBox(text, caption); });
  g_controller = &controller;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  controller.FormShow(args);
  if (!controller.Closed()) runtime.Run();
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  g_controller = nullptr;
  const int code = app::FinishProgram(runtime, controller);
  runtime.SetMessageBoxHandler(nullptr);
  std::fflush(stdout);
  std::fflush(stderr);
  return code;
}

int RunWindow(tk::Win32Runtime& runtime, const std::vector<std::string>& args) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  app::KeyboardNavigation keys;
  app::TUpdateForm form({app::LogDirectoryFromEnvironment(), payload::SelfExecutablePath(), false});
  app::TErrorMessageDlg dialog([&form] { form.BtnExitClick(); }, form.Window);
  form.SetErrorDialog(&dialog);
  form.Show();
  form.FormShow(args);
  if (!form.Controller().Closed()) runtime.Run();
  const int code = app::FinishProgram(runtime, form.Controller());
  // The dialog is destroyed before the window: the window lets it go first.
  form.SetErrorDialog(nullptr);
  return code;
}

}  // namespace

int main() {
  // Sizes follow each monitor's DPI (the manifest says so too; this covers a copy run without it).
  using SetContextFn = BOOL(WINAPI*)(HANDLE);
  if (auto set = reinterpret_cast<SetContextFn>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetProcessDpiAwarenessContext")))) {
    set(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)));  // per monitor, version 2
  }
  const std::vector<std::string> args = Arguments();
  // Answered before anything else: no port, no window, no log file, whatever the program carries.
  const app::InfoRequest info = app::RequestedInfo(args);
  if (info != app::InfoRequest::kNone) {
    return AnswerInfo(info == app::InfoRequest::kHelp ? app::UsageText(app::LogDirectoryFromEnvironment())
                                                      : app::VersionText());
  }
  const app::ConsoleChoice mode = app::ConsoleChoiceOf(tk::win32::Environment(L"BRAE_CONSOLE").c_str());
  tk::Win32Runtime runtime;
  tk::Install(&runtime);
  const bool json = mode == app::ConsoleChoice::kJson;
  const int code =
      json || mode == app::ConsoleChoice::kText ? RunConsole(runtime, args, json) : RunWindow(runtime, args);
  tk::Install(nullptr);
  return code;
}
