// The whole native program, started as a technician starts it: the window with its dialog, and the answers
// to --help and --version without a console.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "app/core/InfoRequest.h"
#include "app/core/Texts.h"
#include "tests/win32/program_support.h"
#include "toolkit/win32/Text.h"

namespace {

using namespace win32_test;

// ---- The whole program

std::wstring WindowsPath(const std::string& path) {
  std::wstring w = tk::win32::Widen(path);
  std::replace(w.begin(), w.end(), L'/', L'\\');
  return w;
}

struct Found {
  HWND window = nullptr;
  DWORD process = 0;
  const wchar_t* cls = nullptr;
};

// A visible top-level window of `process` with the class.
HWND FindWindowOf(DWORD process, const wchar_t* cls) {
  Found found{nullptr, process, cls};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* f = reinterpret_cast<Found*>(data);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t name[64] = {};
        GetClassNameW(window, name, 64);
        if (owner == f->process && lstrcmpW(name, f->cls) == 0 && IsWindowVisible(window)) {
          f->window = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found.window;
}

TEST(WindowProgram, WithoutAnIndicatorTheDialogComesAndExitEndsWithOne) {
  Folder work;
  std::ofstream(work / "fw.bin", std::ios::binary) << std::string(1000, '\x11');
  std::ofstream(work / "ld.s19", std::ios::binary) << "S00600004844521B\r\nS9030000FC\r\n";
  SetEnvironmentVariableW(L"BRAE_LOG_DIR", tk::win32::Widen(work.path.string()).c_str());
  SetEnvironmentVariableW(L"BRAE_CONSOLE", nullptr);
  std::wstring command = L"\"" + WindowsPath(BRAE_UPDATE_EXE) + L"\" /i \"" + WindowsPath(work / "fw.bin") +
                         L"\" \"" + WindowsPath(work / "ld.s19") + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &process))
      << GetLastError();
  // No port answers: the window shows its search, then the error dialog.
  HWND form = nullptr;
  HWND dialog = nullptr;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!dialog && std::chrono::steady_clock::now() < end) {
    if (!form) form = FindWindowOf(process.dwProcessId, L"BraeUpdateForm");
    dialog = FindWindowOf(process.dwProcessId, L"BraeErrorMessageDlg");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(form, nullptr);
  EXPECT_NE(dialog, nullptr);
  if (form) {
    EXPECT_EQ(TextOf(form), app::kWindowTitle);
    HWND exitButton = FindWindowExW(form, nullptr, L"Button", L"Exit");
    ASSERT_NE(exitButton, nullptr);
    PostMessageW(form, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(exitButton), BN_CLICKED),
                 reinterpret_cast<LPARAM>(exitButton));
  }
  EXPECT_EQ(ExitCodeOf(process, 30000, "the program did not end on Exit"), 1u);
  const std::string log = Slurp(work / app::kLogFileName);
  EXPECT_NE(log.find(app::kVersionText), std::string::npos) << log;
  SetEnvironmentVariableW(L"BRAE_LOG_DIR", nullptr);
}

// --help and --version from a program started with no console and no redirected output (double-clicked, a
// shortcut): the text in a message box, and nothing else starts. (A console is written to in the whole
// update's script, under a terminal.)
TEST(WindowProgram, InfoRequestsWithoutAConsoleAnswerInABox) {
  const std::string version = app::VersionText().substr(0, app::VersionText().size() - 1);
  const std::string usage = "Usage: brae-update.exe [options]";
  const struct {
    const char* argument;
    std::string firstLine;
  } cases[] = {{"--version", version}, {"--help", usage}, {"-h", usage}, {"/?", usage}};
  Folder work;
  SetEnvironmentVariableW(L"BRAE_LOG_DIR", tk::win32::Widen(work.path.string()).c_str());
  // No console here, so none the program could attach to.
  FreeConsole();
  for (const auto& k : cases) {
    SCOPED_TRACE(k.argument);
    std::wstring command = L"\"" + WindowsPath(BRAE_UPDATE_EXE) + L"\" " + tk::win32::Widen(k.argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;  // and none handed down
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                               nullptr, &startup, &process))
        << GetLastError();
    HWND box = nullptr;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!box && std::chrono::steady_clock::now() < end &&
           WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) {
      box = FindWindowOf(process.dwProcessId, L"#32770");
    }
    EXPECT_NE(box, nullptr) << "no message box";
    EXPECT_EQ(FindWindowOf(process.dwProcessId, L"BraeUpdateForm"), nullptr);
    if (box) {
      const std::string text = TextOf(GetDlgItem(box, 0xFFFF));  // a message box's text
      EXPECT_EQ(text.substr(0, text.find("\r\n")), k.firstLine);
      PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    EXPECT_EQ(ExitCodeOf(process, 30000, "the program did not end"), 0u);
  }
  EXPECT_TRUE(fs::is_empty(work.path)) << "a log file was written";
  SetEnvironmentVariableW(L"BRAE_LOG_DIR", nullptr);
}

}  // namespace
