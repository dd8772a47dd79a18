// The native window and its error dialog (under Wine's null graphics driver in the tests): what the
// controller reports reaches the controls, texts get the room they need, the keys and buttons close the
// program with its exit code, and the whole program shows its dialog and ends on Exit.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/core/ErrorTexts.h"
#include "app/core/InfoRequest.h"
#include "app/core/Texts.h"
#include "payload/Buffers.h"
#include "toolkit/Sync.h"
#include "toolkit/win32/Text.h"
// After <windows.h>.
#include <commctrl.h>
#include <richedit.h>

#include "app/win32/UpdateWindow.h"
#include "toolkit/win32/Win32Runtime.h"

namespace {

namespace fs = std::filesystem;

struct Folder {
  fs::path path = fs::temp_directory_path() / ("brae-window-" + std::to_string(std::random_device{}()));
  Folder() { fs::create_directories(path); }
  ~Folder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// One runtime for the whole run, as in the program.
class Win32Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    runtime_ = std::make_unique<tk::Win32Runtime>();
    tk::Install(runtime_.get());
  }
  void TearDown() override {
    runtime_->Shutdown();
    tk::Thread::WaitForDetachedThreads(5000);
    tk::Install(nullptr);
    runtime_.reset();
  }
  static tk::Win32Runtime& Runtime() { return *runtime_; }

 private:
  static inline std::unique_ptr<tk::Win32Runtime> runtime_;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new Win32Environment);

// Runs the message loop until `done` or about ten seconds.
bool PumpUntil(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    Win32Environment::Runtime().ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string TextOf(HWND window) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return tk::win32::Narrow(text);
}

SIZE ClientSize(HWND window) {
  RECT r;
  GetClientRect(window, &r);
  return {r.right, r.bottom};
}

// A control's rectangle in its parent's client coordinates.
RECT Placed(HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

HFONT FontOf(HWND control) {
  return reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
}

// Waits for a started program's end (ending it, and failing, after `ms`) and releases its handles.
DWORD ExitCodeOf(PROCESS_INFORMATION& process, DWORD ms, const char* notEnded) {
  if (WaitForSingleObject(process.hProcess, ms) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 99);
    WaitForSingleObject(process.hProcess, 5000);
    ADD_FAILURE() << notEnded;
  }
  DWORD code = 99;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

void EmptyBuffers() {
  uint8_t* l = payload::MutableLoaderBytes();
  std::fill(l, l + payload::kLoaderMarkerLength, payload::kLoaderMarkerByte);
  uint8_t* f = payload::MutableFirmwareBytes();
  std::fill(f, f + payload::kFirmwareMarkerLength, payload::kFirmwareMarkerByte);
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EmptyBuffers();
    messages.clear();
    endCode = -1;
    Win32Environment::Runtime().SetMessageBoxHandler(
        [this](const std::string& text, const std::string&) { messages.push_back(text); });
    form =
        std::make_unique<app::TUpdateForm>(app::UpdateController::Options{logDir.path.string(), "", false});
    dialog = std::make_unique<app::TErrorMessageDlg>([this] { form->BtnExitClick(); }, form->Window);
    form->SetErrorDialog(dialog.get());
    form->OnEnd = [this](int code) { endCode = code; };
    form->Show();
  }
  void TearDown() override {
    form.reset();
    dialog.reset();
    Win32Environment::Runtime().SetMessageBoxHandler(nullptr);
  }
  app::UpdateController& C() { return form->Controller(); }
  bool LogFileWritten() { return fs::exists(logDir.path / app::kLogFileName); }
  app::Scale Scale() { return app::Scale(app::DpiOf(form->Window)); }
  // An update from two files: it searches the ports (there are none) and keeps the window open.
  void StartSearching() {
    std::ofstream(files / "fw.bin", std::ios::binary) << std::string(1000, '\x11');
    std::ofstream(files / "ld.s19", std::ios::binary) << "S00600004844521B\r\nS9030000FC\r\n";
    form->FormShow({"brae-update.exe", "/i", files / "fw.bin", files / "ld.s19"});
  }

  // Public: the cases of a table act on them.
 public:
  Folder logDir;
  Folder files;
  std::vector<std::string> messages;
  int endCode = -1;
  std::unique_ptr<app::TUpdateForm> form;
  std::unique_ptr<app::TErrorMessageDlg> dialog;
};

TEST_F(WindowTest, TheStartDecisionReachesTheWindow) {
  struct Case {
    const char* name;
    bool withFiles;
    bool diagnosticShown;
    int endCode;  // -1: still running
    bool messageShown;
  };
  const Case cases[] = {
      {"no arguments and no payloads inside: the loader message, then the end", false, false, 2, true},
      {"both files: searching, with the diagnostic button", true, true, -1, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    TearDown();
    SetUp();
    if (k.withFiles) {
      StartSearching();
    } else {
      form->FormShow({"brae-update.exe"});
    }
    EXPECT_EQ(TextOf(form->Window), app::kWindowTitle);
    EXPECT_EQ(IsWindowVisible(form->BtnOpenDebug) != FALSE, k.diagnosticShown);
    EXPECT_EQ(endCode, k.endCode);
    EXPECT_EQ(!messages.empty(), k.messageShown);
    if (k.messageShown) {
      EXPECT_EQ(messages.front(), app::kNoLoaderText);
    }
    if (k.endCode >= 0) {
      EXPECT_FALSE(form->Visible());
      EXPECT_TRUE(LogFileWritten());
    } else {
      EXPECT_EQ(TextOf(form->Label1), app::kSearchingStatus);
      EXPECT_TRUE(form->Visible());
    }
  }
}

TEST_F(WindowTest, ProgressReachesTheBarAndIsKeptInsideItsRange) {
  struct Step {
    int max, position, shown, shownMax;
  };
  C().SetProgressVisible(true);
  EXPECT_TRUE(IsWindowVisible(form->ProgressBar));
  const Step steps[] = {
      {1000, 400, 400, 1000},
      {1000, 1200, 1000, 1000},  // past the end: full
      {1000, -5, 0, 1000},
      {0, 0, 0, 1},  // an empty range still draws an empty bar
  };
  for (const Step& s : steps) {
    C().SetProgressMax(s.max);
    C().SetProgressPosition(s.position);
    EXPECT_EQ(SendMessageW(form->ProgressBar, PBM_GETPOS, 0, 0), s.shown) << s.position << "/" << s.max;
    EXPECT_EQ(SendMessageW(form->ProgressBar, PBM_GETRANGE, FALSE, 0), s.shownMax);
  }
  C().SetProgressVisible(false);
  EXPECT_FALSE(IsWindowVisible(form->ProgressBar));
}

TEST_F(WindowTest, TheStatusLineGrowsToItsTextAndTheWindowWithIt) {
  const app::Scale scale = Scale();
  const int designed = ClientSize(form->Window).cx;
  EXPECT_EQ(designed, scale(487));
  const std::string texts[] = {
      "x",
      app::kSuccessStatus,
      std::string(120, 'W'),
      "Zurück: \xe2\x80\x9c"
      "COM3\xe2\x80\x9d",
  };
  for (const std::string& text : texts) {
    C().ApplyStatus(text);
    EXPECT_EQ(TextOf(form->Label1), text);
    const SIZE needed = app::MeasureText(form->Label1, FontOf(form->Label1), text);
    const RECT label = Placed(form->Label1);
    EXPECT_GE(label.right - label.left, needed.cx) << text;
    EXPECT_GE(label.right - label.left, scale(211));
    // The window holds the whole line with its margin, and is never narrower than designed.
    EXPECT_GE(ClientSize(form->Window).cx, std::max(designed, static_cast<int>(label.right)));
  }
  C().ApplyStatus("short again");
  EXPECT_EQ(ClientSize(form->Window).cx, designed);
  // While nothing answers the window says that it goes on looking, under the system's own status.
  for (const auto& [code, status, hint] :
       {std::tuple<uint32_t, std::string, bool>{3, app::kSearchingStatus, true},
        {2, app::kSearchingStatus, false},
        {1, app::kSearchingStatus, true},
        {1, "Sending Load Program", false}}) {
    C().ApplyStatus(status);
    dialog->ShowErrorMessage(code);
    EXPECT_EQ(IsWindowVisible(form->Label2) != FALSE, hint) << code << status;
    EXPECT_EQ(TextOf(form->Label1), status);
    EXPECT_LE(Placed(form->Label2).bottom, Placed(form->BtnExit).top);
    EXPECT_LE(Placed(form->Label2).right, ClientSize(form->Window).cx);
  }
}

TEST_F(WindowTest, DiagnosticModeOpensAndClosesTheLogWithTheLogsLines) {
  StartSearching();
  C().AppendLogLine("first line");
  C().AppendLogLine("second \xc3\xa9 line");
  const int closed = ClientSize(form->Window).cy;
  SendMessageW(form->BtnOpenDebug, BM_CLICK, 0, 0);
  EXPECT_TRUE(IsWindowVisible(form->reditDebug));
  EXPECT_EQ(ClientSize(form->Window).cy, closed + Scale()(500));
  const std::string box = TextOf(form->reditDebug);
  EXPECT_NE(box.find("\r\nfirst line\r\nsecond \xc3\xa9 line"), std::string::npos) << box;
  EXPECT_EQ(box.substr(0, 2), "\r\n");  // the box's first line is empty, as the other window's
  SendMessageW(form->BtnOpenDebug, BM_CLICK, 0, 0);
  EXPECT_FALSE(IsWindowVisible(form->reditDebug));
  EXPECT_EQ(ClientSize(form->Window).cy, closed);
  EXPECT_EQ(endCode, -1);
}

TEST_F(WindowTest, TheDialogFitsEachCodesText) {
  // Every code with a text, and one without (an empty box, the smallest dialog).
  const uint32_t codes[] = {1, 2, 3, 4, app::kRestoredCode, 999};
  for (uint32_t code : codes) {
    SCOPED_TRACE(code);
    dialog->ShowErrorMessage(code);
    const app::ErrorText text = app::ErrorTextFor(code);
    EXPECT_TRUE(dialog->Visible());
    EXPECT_EQ(dialog->ShownCode, code);
    EXPECT_EQ(dialog->LineCount(), static_cast<int>(text.Lines.size()));
    std::string joined;
    for (size_t i = 0; i < text.Lines.size(); ++i) joined += (i ? "\r\n" : "") + text.Lines[i];
    std::string shown = TextOf(dialog->RichEdit1);
    // The rich edit control may hand its line ends back as a bare CR.
    for (size_t at = 0; (at = shown.find('\r', at)) != std::string::npos; at += 2) {
      if (shown.compare(at, 2, "\r\n") != 0) shown.insert(at + 1, "\n");
    }
    EXPECT_EQ(shown, joined);
    // Every line whole inside the box: where each line's last character is drawn, as the control lays it out.
    const SIZE inside = ClientSize(dialog->RichEdit1);
    for (int line = 0; line < dialog->LineCount(); ++line) {
      const LRESULT first = SendMessageW(dialog->RichEdit1, EM_LINEINDEX, line, 0);
      const LRESULT length = SendMessageW(dialog->RichEdit1, EM_LINELENGTH, first, 0);
      POINTL end{};
      SendMessageW(dialog->RichEdit1, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&end), first + length);
      EXPECT_LT(end.x, inside.cx) << "line " << line;
      EXPECT_LT(end.y, inside.cy) << "line " << line;
    }
    // The problem message's heading is bold and larger than its body; every other text is plain.
    for (int line : {0, 2}) {
      if (line >= dialog->LineCount()) continue;
      CHARFORMAT2W format{};
      format.cbSize = sizeof format;
      const LRESULT at = SendMessageW(dialog->RichEdit1, EM_LINEINDEX, line, 0);
      SendMessageW(dialog->RichEdit1, EM_SETSEL, at, at + 1);
      SendMessageW(dialog->RichEdit1, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
      EXPECT_EQ((format.dwEffects & CFE_BOLD) != 0, text.ProblemFormat && line < 2) << "line " << line;
      if (text.ProblemFormat) {
        EXPECT_EQ(format.yHeight, line < 2 ? 240 : 200);
      }
    }
    const RECT box = Placed(dialog->RichEdit1);
    const RECT quit = Placed(dialog->BtnQuit);
    const SIZE client = ClientSize(dialog->Window);
    EXPECT_GT(quit.top, box.bottom);
    EXPECT_LE(quit.bottom, client.cy);
    EXPECT_LE(box.right, client.cx);
    // A text that fits has no scroll bar around it.
    EXPECT_EQ(GetWindowLongW(dialog->RichEdit1, GWL_STYLE) & (WS_HSCROLL | WS_VSCROLL), 0);
  }
  // A detail after code 3's lines grows the dialog by its two lines, and goes with the next code.
  dialog->ShowErrorMessage(3);
  const RECT three = Placed(dialog->BtnQuit);
  dialog->ShowErrorDetail("busy: held by PID 1234");
  EXPECT_EQ(dialog->LineCount(), 7);
  EXPECT_EQ(Placed(dialog->BtnQuit).top - three.top, app::Scale(app::DpiOf(dialog->Window))(30));
  EXPECT_NE(TextOf(dialog->RichEdit1).find("\nbusy: held by PID 1234"), std::string::npos);
  dialog->ShowErrorMessage(3);
  EXPECT_EQ(Placed(dialog->BtnQuit).top, three.top);
}

TEST_F(WindowTest, EveryWayOutEndsTheProgramOnceWithTheLogWritten) {
  struct Case {
    const char* name;
    std::function<void(WindowTest&)> act;
  };
  const Case cases[] = {
      {"Exit", [](WindowTest& t) { SendMessageW(t.form->BtnExit, BM_CLICK, 0, 0); }},
      {"Quit in the dialog", [](WindowTest& t) { SendMessageW(t.dialog->BtnQuit, BM_CLICK, 0, 0); }},
      {"the close box", [](WindowTest& t) { SendMessageW(t.form->Window, WM_CLOSE, 0, 0); }},
      {"Enter in the window",
       [](WindowTest& t) {
         app::KeyboardNavigation keys;
         SetFocus(t.form->BtnExit);
         PostMessageW(t.form->BtnExit, WM_KEYDOWN, VK_RETURN, 0);
         PumpUntil([&t] { return t.endCode >= 0; });
       }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    TearDown();
    SetUp();
    StartSearching();
    dialog->ShowErrorMessage(2);
    k.act(*this);
    EXPECT_EQ(endCode, 1);
    EXPECT_FALSE(form->Visible());
    EXPECT_FALSE(dialog->Visible());
    EXPECT_TRUE(LogFileWritten());
    // A second close is no second end.
    endCode = -1;
    SendMessageW(form->Window, WM_CLOSE, 0, 0);
    EXPECT_EQ(endCode, -1);
  }
}

TEST_F(WindowTest, TheDialogsCloseBoxAndEscapeOnlyHideIt) {
  app::KeyboardNavigation keys;
  dialog->ShowErrorMessage(2);
  SendMessageW(dialog->Window, WM_CLOSE, 0, 0);
  EXPECT_FALSE(dialog->Visible());
  dialog->ShowErrorMessage(2);
  SetFocus(dialog->BtnQuit);
  PostMessageW(dialog->BtnQuit, WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_TRUE(PumpUntil([this] { return !dialog->Visible(); }));
  EXPECT_EQ(endCode, -1);
  EXPECT_TRUE(form->Visible());
}

TEST_F(WindowTest, CommunicationRestoredHidesItselfUnlessAnotherCodeCame) {
  dialog->ShowErrorMessage(app::kRestoredCode);
  dialog->ShowErrorMessage(2);
  // The restored message's timer has run out by the time a later one is hidden.
  dialog->ShowErrorMessage(app::kRestoredCode);
  EXPECT_TRUE(PumpUntil([this] { return !dialog->Visible(); }));
  dialog->ShowErrorMessage(app::kRestoredCode);
  dialog->ShowErrorMessage(2);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(app::kRestoredHideMs + 500);
  PumpUntil([until] { return std::chrono::steady_clock::now() > until; });
  EXPECT_TRUE(dialog->Visible());
}

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
