// The native window and its error dialog (under Wine's null graphics driver in the tests): what the
// controller reports reaches the controls, texts get the room they need, the keys and buttons close the
// program with its exit code (the whole program: window_program_test.cpp).
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
#include "tests/win32/program_support.h"
#include "toolkit/win32/Win32Runtime.h"

namespace {

using namespace win32_test;

namespace fs = std::filesystem;

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

}  // namespace
