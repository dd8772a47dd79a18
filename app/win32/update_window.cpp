#include <algorithm>

#include "app/BatchRowText.h"
#include "app/core/ErrorTexts.h"
#include "app/win32/BatchRows.h"
#include "app/win32/UpdateWindow.h"
#include "app/win32/controls.h"
#include "toolkit/Clock.h"
// After <windows.h>.
#include <commctrl.h>

namespace app {

using namespace win32ui;

namespace {

// The design, in pixels at 96 DPI (client area).
constexpr int kClientWidth = 487;
constexpr int kClientHeight = 104;
constexpr int kLabelLeft = 16;
constexpr int kLabelTop = 40;
constexpr int kLabelWidth = 211;
constexpr int kLabelHeight = 16;
constexpr int kDebugPaneHeight = 500;

constexpr int kIdExit = 101;
constexpr int kIdDebug = 102;
constexpr int kIdScanAgain = 104;
constexpr int kRowGap = 6;
// The looking hint's line, between the status and the buttons, in the smaller font of DiagnosticMode.
constexpr int kHintTop = 57;
constexpr int kHintHeight = 13;
// A batch's window fits a 1280x800 screen with a task bar: its rows scroll beyond this outer height.
constexpr int kMostOuterHeight = 760;
constexpr int kLeastRowsHeight = 120;

constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;

}  // namespace

unsigned DpiOf(HWND window) {
  // Windows 10 and later know each monitor's DPI; older systems (and Wine) have one for the whole screen.
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto getDpi = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpi && window) {
    if (const UINT dpi = getDpi(window)) return dpi;
  }
  HDC dc = GetDC(nullptr);
  const int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 0;
  if (dc) ReleaseDC(nullptr, dc);
  return dpi > 0 ? static_cast<unsigned>(dpi) : 96;
}

HFONT NewUiFont(int pixelSize, const Scale& scale, bool bold) {
  // A TrueType sans-serif, so that it scales with the DPI; whatever the system substitutes is measured.
  return CreateFontW(-scale(pixelSize), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                     DEFAULT_PITCH | FF_SWISS, L"Microsoft Sans Serif");
}

SIZE MeasureText(HWND window, HFONT font, const std::string& text) {
  SIZE total{0, 0};
  HDC dc = GetDC(window);
  if (!dc) return total;
  HGDIOBJ old = SelectObject(dc, font);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::wstring wide = tk::win32::Widen(line);
    SIZE size{0, 0};
    if (!wide.empty()) GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
    total.cx = std::max(total.cx, size.cx);
    total.cy += metrics.tmHeight;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  return total;
}

// ---- The main window

TUpdateForm::TUpdateForm(UpdateController::Options options) : controller_(*this, std::move(options)) {
  Register(kFormClass, Proc);
  CreateWindowExW(WS_EX_CONTROLPARENT, kFormClass, L"", kFormStyle, CW_USEDEFAULT, CW_USEDEFAULT, 100, 100,
                  nullptr, nullptr, GetModuleHandleW(nullptr), this);
  scale_ = Scale(DpiOf(Window));
  Label1 = Child(Window, L"STATIC", L"", WS_VISIBLE | SS_LEFT | SS_CENTERIMAGE | SS_NOPREFIX, 0);
  Label2 = Child(Window, L"STATIC", tk::win32::Widen(kLookingHint).c_str(),
                 SS_LEFT | SS_CENTERIMAGE | SS_NOPREFIX, 0);
  reditDebug = Child(
      Window, L"EDIT", L"",
      WS_BORDER | WS_HSCROLL | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | ES_AUTOVSCROLL, 0);
  // The log grows past the edit control's default limit of 32 K characters.
  SendMessageW(reditDebug, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);
  ProgressBar = Child(Window, PROGRESS_CLASSW, L"", 0, 0);
  SendMessageW(ProgressBar, PBM_SETRANGE32, 0, 100);
  BtnOpenDebug = Child(Window, L"BUTTON", L"DiagnosticMode", WS_TABSTOP | BS_PUSHBUTTON, kIdDebug);
  BtnExit = Child(Window, L"BUTTON", L"Exit", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, kIdExit);
  BtnScanAgain =
      Child(Window, L"BUTTON", L"Scan again", WS_TABSTOP | WS_DISABLED | BS_PUSHBUTTON, kIdScanAgain);
  MakeFonts();
  StatusChanged(controller_.Status());
  CentreOnScreen(Window);
}

TUpdateForm::~TUpdateForm() {
  // The window goes first: nothing may reach it from the engine's end any more.
  ended_ = true;
  controller_.Shutdown();
  Rows.clear();
  if (Window) {
    SetWindowLongPtrW(Window, GWLP_USERDATA, 0);
    DestroyWindow(Window);
  }
  if (font_) DeleteObject(font_);
  if (buttonFont_) DeleteObject(buttonFont_);
}

void TUpdateForm::MakeFonts() {
  if (font_) DeleteObject(font_);
  if (buttonFont_) DeleteObject(buttonFont_);
  font_ = NewUiFont(13, scale_);
  buttonFont_ = NewUiFont(11, scale_);
  for (HWND control : {Label1, reditDebug, BtnExit, BtnScanAgain}) SetFont(control, font_);
  for (auto& row : Rows) row->SetScale(scale_);
  SetFont(BtnOpenDebug, buttonFont_);
  SetFont(Label2, buttonFont_);
}

void TUpdateForm::SetErrorDialog(TErrorMessageDlg* dialog) {
  // The dialog may go before the window does: it is let go here, never from the window's destructor.
  if (dialog_) dialog_->CodeShown = nullptr;
  dialog_ = dialog;
  controller_.SetErrorDialog(dialog);
  if (dialog) {
    dialog->CodeShown = [this](uint32_t code) {
      dialogCode_ = code;
      ShowLooking();
    };
  }
}

void TUpdateForm::ShowLooking() {
  const bool shown = Rows.empty() && ShowsLookingHint(dialogCode_, answered_, status_);
  if ((IsWindowVisible(Label2) != FALSE) == shown) return;
  ShowWindow(Label2, shown ? SW_SHOW : SW_HIDE);
  Layout();
}

void TUpdateForm::Show() {
  ShowWindow(Window, SW_SHOWNORMAL);
  UpdateWindow(Window);
}

bool TUpdateForm::Visible() const {
  return IsWindowVisible(Window) != FALSE;
}

void TUpdateForm::Layout() {
  // Not resizable: the width stays (wider only where a status needs it), the height follows the log's.
  const SIZE text = MeasureText(Label1, font_, shownStatus_);
  const int labelWidth = std::max(scale_(kLabelWidth), static_cast<int>(text.cx));
  const int labelHeight = std::max(scale_(kLabelHeight), static_cast<int>(text.cy));
  MoveWindow(Label1, scale_(kLabelLeft), scale_(kLabelTop), labelWidth, labelHeight, TRUE);
  int width = std::max(scale_(kClientWidth), scale_(kLabelLeft) + labelWidth + scale_(kLabelLeft));
  if (IsWindowVisible(Label2)) {
    const int hint = static_cast<int>(MeasureText(Label2, buttonFont_, kLookingHint).cx);
    MoveWindow(Label2, scale_(kLabelLeft), scale_(kHintTop), hint, scale_(kHintHeight), TRUE);
    width = std::max(width, hint + 2 * scale_(kLabelLeft));
  }
  // The rows as wide as their texts need, never narrower than the window.
  for (const auto& row : Rows) width = std::max(width, row->NaturalWidth() + 2 * scale_(8));
  const int debugHeight = scale_(debugHeight_);
  // Rows beyond the screen's height scroll inside the window, beside their scroll bar.
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  int most = scale_(kMostOuterHeight);
  if (GetMonitorInfoW(MonitorFromWindow(Window, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
    most = std::min<int>(most, monitor.rcWork.bottom - monitor.rcWork.top);
  }
  const int frame = static_cast<int>(OuterSize(kFormStyle, 0, 0).cy);
  const int room = std::max(scale_(kLeastRowsHeight), most - frame - scale_(kClientHeight) - debugHeight);
  auto place = [this](int rowWidth) {
    int total = 0;
    for (const auto& row : Rows)
      total += row->Place(scale_(8), total - scrolled_, rowWidth) + scale_(kRowGap);
    return Rows.empty() ? 0 : total + scale_(2);
  };
  rowsTotal_ = place(width - 2 * scale_(8));
  const bool scrolls = rowsTotal_ > room;
  if (scrolls) {
    width += GetSystemMetrics(SM_CXVSCROLL);
    scrolled_ = std::clamp(scrolled_, 0, rowsTotal_ - room);
    place(width - 2 * scale_(8) - GetSystemMetrics(SM_CXVSCROLL));
  } else {
    scrolled_ = 0;
  }
  rowsRoom_ = std::min(rowsTotal_, room);
  const int rowsHeight = rowsRoom_;
  if (RowsPane) {
    MoveWindow(RowsPane, 0, scale_(kClientHeight), width, rowsHeight, TRUE);
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    info.nMax = rowsTotal_ - 1;
    info.nPage = static_cast<UINT>(rowsRoom_);
    info.nPos = scrolled_;
    SetScrollInfo(RowsPane, SB_VERT, &info, TRUE);
    ShowScrollBar(RowsPane, SB_VERT, scrolls);
  }
  MoveWindow(ProgressBar, scale_(8), scale_(16), scale_(465), scale_(16), TRUE);
  MoveWindow(BtnOpenDebug, scale_(53), scale_(72),
             ButtonWidth(BtnOpenDebug, buttonFont_, L"DiagnosticMode", scale_, 97), scale_(25), TRUE);
  MoveWindow(BtnExit, scale_(194), scale_(71), ButtonWidth(BtnExit, font_, L"Exit", scale_, 99), scale_(25),
             TRUE);
  MoveWindow(BtnScanAgain, scale_(309), scale_(71),
             ButtonWidth(BtnScanAgain, font_, L"Scan again", scale_, 99), scale_(25), TRUE);
  MoveWindow(reditDebug, 0, scale_(kClientHeight) + rowsHeight, width, debugHeight, TRUE);
  const SIZE outer = OuterSize(kFormStyle, width, scale_(kClientHeight) + rowsHeight + debugHeight);
  SetWindowPos(Window, nullptr, 0, 0, outer.cx, outer.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  // Rows that moved leave their old frames behind on some systems (Wine's): the whole window is drawn anew.
  if (!Rows.empty()) RedrawWindow(Window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void TUpdateForm::FormShow(const std::vector<std::string>& args) {
  controller_.FormShow(args);
}

void TUpdateForm::BtnOpenDebugClick() {
  debugShown_ = !debugShown_;
  ShowWindow(reditDebug, debugShown_ ? SW_SHOW : SW_HIDE);
  debugHeight_ = (debugHeight_ + kDebugPaneHeight) % (2 * kDebugPaneHeight);
  Layout();
  if (debugShown_) SendMessageW(reditDebug, WM_VSCROLL, SB_BOTTOM, 0);
  SetFocus(BtnExit);
}

void TUpdateForm::BtnExitClick() {
  controller_.Close();
}

void TUpdateForm::BtnScanAgainClick() {
  // Off before the scan: a port that ends at once ends the new scan inside this call, which enables it again.
  EnableWindow(BtnScanAgain, FALSE);
  controller_.ScanAgain();
}

LRESULT CALLBACK TUpdateForm::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  TUpdateForm* self = Owner<TUpdateForm>(window, message, lParam);
  return self ? self->Handle(message, wParam, lParam) : DefWindowProcW(window, message, wParam, lParam);
}

LRESULT TUpdateForm::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == kIdExit || LOWORD(wParam) == IDOK) {
        BtnExitClick();
      } else if (LOWORD(wParam) == kIdDebug) {
        BtnOpenDebugClick();
      } else if (LOWORD(wParam) == kIdScanAgain) {
        BtnScanAgainClick();
      }
      return 0;
    case WM_CTLCOLORSTATIC:
      // The status line in the highlight colour, as designed.
      if (reinterpret_cast<HWND>(lParam) == Label1 || reinterpret_cast<HWND>(lParam) == Label2) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(
            dc, GetSysColor(reinterpret_cast<HWND>(lParam) == Label1 ? COLOR_HIGHLIGHT : COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
      }
      break;
    case WM_GETMINMAXINFO:
      // No status is cut: the window may grow past the screen's size, which the system takes as its limit.
      AllowAnySize(lParam);
      return 0;
    case WM_CLOSE:
      // The close box comes here; the close is never refused.
      controller_.Close();
      return 0;
    case WM_DPICHANGED: {
      scale_ = Scale(HIWORD(wParam));
      MakeFonts();
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(Window, nullptr, suggested->left, suggested->top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
      Layout();
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcW(Window, message, wParam, lParam);
}

// ---- What the controller shows

void TUpdateForm::TitleChanged(const std::string& title) {
  SetWindowTextW(Window, tk::win32::Widen(title).c_str());
}

void TUpdateForm::DebugButtonShown() {
  ShowWindow(BtnOpenDebug, SW_SHOW);
}

void TUpdateForm::FocusExit() {
  SetFocus(BtnExit);
}

void TUpdateForm::LogLinesAdded(const std::vector<std::string>& lines) {
  if (ended_ || lines.empty()) return;
  // Followed to the end only when the user has not scrolled back to read.
  SCROLLINFO info{};
  info.cbSize = sizeof info;
  info.fMask = SIF_ALL;
  const bool hasBar = GetScrollInfo(reditDebug, SB_VERT, &info) != FALSE;
  const bool atEnd = !hasBar || info.nPos + static_cast<int>(info.nPage) > info.nMax;
  const LRESULT firstVisible = SendMessageW(reditDebug, EM_GETFIRSTVISIBLELINE, 0, 0);
  // A line break before each line, so the box holds exactly the log's lines after its first, empty one.
  std::string text;
  for (const auto& line : lines) text += "\r\n" + line;
  const std::wstring wide = tk::win32::Widen(text);
  const int length = GetWindowTextLengthW(reditDebug);
  SendMessageW(reditDebug, EM_SETSEL, length, length);
  SendMessageW(reditDebug, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide.c_str()));
  if (atEnd) {
    SendMessageW(reditDebug, WM_VSCROLL, SB_BOTTOM, 0);
  } else {
    const LRESULT now = SendMessageW(reditDebug, EM_GETFIRSTVISIBLELINE, 0, 0);
    SendMessageW(reditDebug, EM_LINESCROLL, 0, firstVisible - now);
  }
}

void TUpdateForm::StatusChanged(const std::string& text) {
  status_ = text;
  // The engine's own status wins over a batch's end, and over the hint that it goes on looking.
  batchStatus_.clear();
  ShowWindow(Label2, Rows.empty() && ShowsLookingHint(dialogCode_, answered_, status_) ? SW_SHOW : SW_HIDE);
  ShowStatus(text);
}

void TUpdateForm::PortAnswering(const std::string&, const std::string&, int) {
  answered_ = true;
  ShowLooking();
}

void TUpdateForm::ShowStatus(const std::string& text) {
  shownStatus_ = text;
  SetWindowTextW(Label1, EditText(text).c_str());
  // The status line grows with its text, never narrower than designed, so no status is ever cut.
  Layout();
}

void TUpdateForm::ShowProgressValue() {
  // A position past the end shows as full.
  SendMessageW(ProgressBar, PBM_SETPOS, std::clamp(position_, 0, max_), 0);
}

void TUpdateForm::ProgressPositionChanged(int position) {
  position_ = position;
  ShowProgressValue();
}

void TUpdateForm::ProgressMaxChanged(int max) {
  // A range of 0 to 0 would show nothing to fill.
  max_ = std::max(max, 1);
  SendMessageW(ProgressBar, PBM_SETRANGE32, 0, max_);
  ShowProgressValue();
}

void TUpdateForm::ProgressVisibleChanged(bool visible) {
  ShowWindow(ProgressBar, visible ? SW_SHOW : SW_HIDE);
}

IPortView* TUpdateForm::PortAdded(size_t index, const std::string& name) {
  if (ended_) return nullptr;
  ShowWindow(BtnScanAgain, SW_SHOW);
  EnableWindow(BtnScanAgain, FALSE);
  ShowWindow(Label2, SW_HIDE);
  if (!RowsPane) RowsPane = NewRowsPane();
  if (!batchStatus_.empty()) {
    // A new scan: the status line is the engine's again.
    batchStatus_.clear();
    ShowStatus(status_);
  }
  if (index < Rows.size()) {
    Rows[index]->Reset(name);
    return Rows[index].get();
  }
  auto clock = RowClock ? RowClock : [] { return static_cast<uint64_t>(tk::MonotonicUs() / 1000); };
  while (Rows.size() <= index) {
    // Rows come in order; a gap would get an empty row.
    Rows.push_back(std::make_unique<TPortRow>(RowsPane, Rows.size() == index ? name : std::string(), clock,
                                              [this] { Layout(); }));
  }
  Layout();
  return Rows[index].get();
}

void TUpdateForm::BatchEnded(const BatchResult& result) {
  // A new scan has something to do where a port found no indicator or was left out.
  bool again = false;
  for (const PortResult& port : result.Ports) {
    again = again || port.Outcome == PortOutcome::NoIndicator || port.Outcome == PortOutcome::Skipped;
  }
  EnableWindow(BtnScanAgain, again && !controller_.Closed());
  // The status line ends on what the batch did, not on the search every port began with.
  if (ended_ || controller_.Closed()) return;
  batchStatus_ = BatchEndedStatus(result);
  ShowStatus(batchStatus_);
}

void TUpdateForm::EndProgram(int exitCode) {
  if (ended_) return;
  ended_ = true;
  if (dialog_) dialog_->Hide();
  for (auto& row : Rows) row->CloseLog();
  ShowWindow(Window, SW_HIDE);
  if (OnEnd) {
    OnEnd(exitCode);
  } else {
    PostQuitMessage(exitCode);
  }
}

// ---- Keyboard

namespace {

LRESULT CALLBACK OnGetMessage(int code, WPARAM wParam, LPARAM lParam) {
  auto* msg = reinterpret_cast<MSG*>(lParam);
  if (code == HC_ACTION && wParam == PM_REMOVE && msg->hwnd && msg->message >= WM_KEYFIRST &&
      msg->message <= WM_KEYLAST) {
    // The program's own top-level window of the control with the focus; it takes the dialog keys.
    HWND top = GetAncestor(msg->hwnd, GA_ROOT);
    wchar_t cls[32] = {};
    GetClassNameW(top, cls, 32);
    if ((lstrcmpW(cls, kFormClass) == 0 || lstrcmpW(cls, kDialogClass) == 0) && IsDialogMessageW(top, msg)) {
      msg->message = WM_NULL;
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

KeyboardNavigation::KeyboardNavigation()
    : hook_(SetWindowsHookExW(WH_GETMESSAGE, OnGetMessage, nullptr, GetCurrentThreadId())) {}

KeyboardNavigation::~KeyboardNavigation() {
  if (hook_) UnhookWindowsHookEx(hook_);
}

}  // namespace app
