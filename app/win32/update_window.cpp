#include <algorithm>

#include "app/core/ErrorTexts.h"
#include "app/win32/UpdateWindow.h"
// After <windows.h>.
#include <commctrl.h>
#include <richedit.h>

namespace app {

namespace {

// The design, in pixels at 96 DPI (client areas).
constexpr int kClientWidth = 487;
constexpr int kClientHeight = 104;
constexpr int kLabelLeft = 16;
constexpr int kLabelTop = 40;
constexpr int kLabelWidth = 211;
constexpr int kLabelHeight = 16;
constexpr int kDebugPaneHeight = 500;
constexpr int kDialogClientWidth = 524;  // 532 outer less the frame, as the other window's
constexpr int kDialogFrameHeight = 31;
constexpr int kTextLeft = 8;
constexpr int kTextWidth = 513;
constexpr int kQuitLeft = 223;
constexpr int kQuitWidth = 75;
// Room beside a button's caption: its frame and margin.
constexpr int kButtonMargin = 12;

constexpr int kIdExit = 101;
constexpr int kIdDebug = 102;
constexpr int kIdQuit = 103;
constexpr UINT_PTR kHideTimer = 1;

constexpr wchar_t kFormClass[] = L"BraeUpdateForm";
constexpr wchar_t kDialogClass[] = L"BraeErrorMessageDlg";
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;

void Register(const wchar_t* name, WNDPROC proc) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  wc.hIcon = LoadIconW(wc.hInstance, MAKEINTRESOURCEW(1));
  wc.lpszClassName = name;
  RegisterClassExW(&wc);  // a second window finds the class there already
}

HWND Child(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id) {
  return CreateWindowExW(0, cls, text, WS_CHILD | style, 0, 0, 0, 0, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr),
                         nullptr);
}

void SetFont(HWND control, HFONT font) {
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

// The outer size of a window whose client area is `width` x `height`.
SIZE OuterSize(DWORD style, int width, int height) {
  RECT r{0, 0, width, height};
  AdjustWindowRectEx(&r, style, FALSE, 0);
  return {r.right - r.left, r.bottom - r.top};
}

void CentreOnScreen(HWND window) {
  RECT r;
  GetWindowRect(window, &r);
  MONITORINFO info{};
  info.cbSize = sizeof info;
  GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &info);
  const RECT& area = info.rcWork;
  SetWindowPos(window, nullptr, (area.left + area.right - (r.right - r.left)) / 2,
               (area.top + area.bottom - (r.bottom - r.top)) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int ButtonWidth(HWND button, HFONT font, const std::wstring& caption, const Scale& scale, int designed) {
  return std::max(
      scale(designed),
      static_cast<int>(MeasureText(button, font, tk::win32::Narrow(caption)).cx) + scale(kButtonMargin));
}

// "\n" line ends become the edit control's "\r\n".
std::wstring EditText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return tk::win32::Widen(out);
}

void AllowAnySize(LPARAM lParam) {
  auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
  limits->ptMaxTrackSize = {32767, 32767};
}

template <typename T>
T* Owner(HWND window, UINT message, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<T*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->Window = window;
  }
  return reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

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

// ---- The error dialog

TErrorMessageDlg::TErrorMessageDlg(std::function<void()> quit, HWND owner) : quit_(std::move(quit)) {
  Register(kDialogClass, Proc);
  CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kDialogClass, L"Update Error Message",
                  kDialogStyle, CW_USEDEFAULT, CW_USEDEFAULT, 100, 100, owner, nullptr,
                  GetModuleHandleW(nullptr), this);
  scale_ = Scale(DpiOf(Window));
  // The rich edit control, for the heading of the problem message; the plain one where it is missing.
  static const bool rich = LoadLibraryW(L"msftedit.dll") != nullptr;
  RichEdit1 = Child(Window, rich ? L"RICHEDIT50W" : L"EDIT", L"",
                    WS_VISIBLE | WS_BORDER | WS_HSCROLL | WS_VSCROLL | ES_MULTILINE | ES_READONLY |
                        ES_AUTOHSCROLL | ES_AUTOVSCROLL,
                    0);
  BtnQuit = Child(Window, L"BUTTON", L"Quit", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, kIdQuit);
  MakeFonts();
  Layout();
}

TErrorMessageDlg::~TErrorMessageDlg() {
  if (Window) {
    SetWindowLongPtrW(Window, GWLP_USERDATA, 0);
    DestroyWindow(Window);
  }
  if (font_) DeleteObject(font_);
  for (HFONT f : {textFont_, headingFont_, bodyFont_}) {
    if (f) DeleteObject(f);
  }
}

void TErrorMessageDlg::MakeFonts() {
  for (HFONT f : {font_, textFont_, headingFont_, bodyFont_}) {
    if (f) DeleteObject(f);
  }
  font_ = NewUiFont(16, scale_);
  textFont_ = NewUiFont(13, scale_);
  // 12 and 10 points, as the formats of the problem message say (a point is 4/3 of a design pixel).
  headingFont_ = NewUiFont(16, scale_, true);
  bodyFont_ = CreateFontW(-MulDiv(10, static_cast<int>(scale_.Dpi()), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                          FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                          DEFAULT_PITCH | FF_SWISS, L"Microsoft Sans Serif");
  SetFont(BtnQuit, font_);
  SetFont(RichEdit1, textFont_);
}

void TErrorMessageDlg::ShowErrorMessage(uint32_t code) {
  ShownCode = code;
  const ErrorText text = ErrorTextFor(code);
  text_.clear();
  for (size_t i = 0; i < text.Lines.size(); ++i) text_ += (i ? "\r\n" : "") + text.Lines[i];
  lineCount_ = static_cast<int>(text.Lines.size());
  problemFormat_ = text.ProblemFormat;
  lines_ = text.Lines;
  SetWindowTextW(RichEdit1, tk::win32::Widen(text_).c_str());
  // The whole text in the box's font again (a rich edit keeps the last text's formats otherwise); the
  // problem message's first two lines as a bold heading, the rest smaller.
  SetFont(RichEdit1, textFont_);
  if (problemFormat_ && lineCount_ > 2) {
    const LRESULT bodyStart = SendMessageW(RichEdit1, EM_LINEINDEX, 2, 0);
    FormatRange(0, bodyStart, true, 240);
    FormatRange(bodyStart, -1, false, 200);
    SendMessageW(RichEdit1, EM_SETSEL, 0, 0);
  }
  KillTimer(Window, kHideTimer);
  if (text.HidesItself) SetTimer(Window, kHideTimer, kRestoredHideMs, nullptr);
  Layout();
  if (!placed_) {
    // In the centre of the screen the first time; afterwards wherever the user left it.
    CentreOnScreen(Window);
    placed_ = true;
  }
  ShowWindow(Window, SW_SHOWNORMAL);
  SetForegroundWindow(Window);
}

void TErrorMessageDlg::Layout() {
  // The designed sizes, grown where the font at hand needs more room: every line whole, none scrolled out of
  // sight sideways or downwards.
  const DialogGeometry g = DialogGeometryFor(lineCount_);
  SIZE measured{0, 0};
  for (size_t i = 0; i < lines_.size(); ++i) {
    HFONT font = !problemFormat_ ? textFont_ : (i < 2 ? headingFont_ : bodyFont_);
    const SIZE line = MeasureText(RichEdit1, font, lines_[i]);
    measured.cx = std::max(measured.cx, line.cx);
    measured.cy += line.cy;
  }
  const int frame = 2 * GetSystemMetrics(SM_CXEDGE) + 4;
  const int width =
      std::max(scale_(kTextWidth), static_cast<int>(measured.cx) + frame + GetSystemMetrics(SM_CXVSCROLL));
  const int textHeight =
      std::max(scale_(g.TextHeight), static_cast<int>(measured.cy) + frame + GetSystemMetrics(SM_CYHSCROLL));
  const int grownBy = width - scale_(kTextWidth);
  const int grownDown = textHeight - scale_(g.TextHeight);
  MoveWindow(RichEdit1, scale_(kTextLeft), scale_(8), width, textHeight, TRUE);
  const int quitWidth = ButtonWidth(BtnQuit, font_, L"Quit", scale_, kQuitWidth);
  MoveWindow(BtnQuit, scale_(kQuitLeft) + grownBy / 2, scale_(g.QuitTop) + grownDown, quitWidth, scale_(25),
             TRUE);
  const SIZE outer = OuterSize(kDialogStyle, scale_(kDialogClientWidth) + grownBy,
                               scale_(g.DialogHeight - kDialogFrameHeight) + grownDown);
  SetWindowPos(Window, nullptr, 0, 0, outer.cx, outer.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TErrorMessageDlg::FormatRange(LRESULT from, LRESULT to, bool bold, int twips) {
  SendMessageW(RichEdit1, EM_SETSEL, static_cast<WPARAM>(from), to);
  CHARFORMAT2W format{};
  format.cbSize = sizeof format;
  format.dwMask = CFM_BOLD | CFM_SIZE;
  format.dwEffects = bold ? CFE_BOLD : 0;
  format.yHeight = twips;
  SendMessageW(RichEdit1, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
}

void TErrorMessageDlg::Hide() {
  ShowWindow(Window, SW_HIDE);
}

bool TErrorMessageDlg::Visible() const {
  return IsWindowVisible(Window) != FALSE;
}

void TErrorMessageDlg::BtnQuitClick() {
  if (quit_) quit_();
}

void TErrorMessageDlg::Timer1Timer() {
  KillTimer(Window, kHideTimer);
  if (ShownCode == kRestoredCode) Hide();
}

LRESULT CALLBACK TErrorMessageDlg::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  TErrorMessageDlg* self = Owner<TErrorMessageDlg>(window, message, lParam);
  return self ? self->Handle(message, wParam, lParam) : DefWindowProcW(window, message, wParam, lParam);
}

LRESULT TErrorMessageDlg::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == kIdQuit || LOWORD(wParam) == IDOK) {
        BtnQuitClick();
      } else if (LOWORD(wParam) == IDCANCEL) {
        Hide();
      }
      return 0;
    case WM_TIMER:
      if (wParam == kHideTimer) Timer1Timer();
      return 0;
    case WM_GETMINMAXINFO:
      AllowAnySize(lParam);
      return 0;
    case WM_CLOSE:
      // The close box only takes the dialog away, as Escape does.
      Hide();
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
      return DefWindowProcW(Window, message, wParam, lParam);
  }
}

// ---- The main window

TUpdateForm::TUpdateForm(UpdateController::Options options) : controller_(*this, std::move(options)) {
  Register(kFormClass, Proc);
  CreateWindowExW(WS_EX_CONTROLPARENT, kFormClass, L"", kFormStyle, CW_USEDEFAULT, CW_USEDEFAULT, 100, 100,
                  nullptr, nullptr, GetModuleHandleW(nullptr), this);
  scale_ = Scale(DpiOf(Window));
  Label1 = Child(Window, L"STATIC", L"", WS_VISIBLE | SS_LEFT | SS_CENTERIMAGE | SS_NOPREFIX, 0);
  reditDebug = Child(
      Window, L"EDIT", L"",
      WS_BORDER | WS_HSCROLL | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | ES_AUTOVSCROLL, 0);
  // The log grows past the edit control's default limit of 32 K characters.
  SendMessageW(reditDebug, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);
  ProgressBar = Child(Window, PROGRESS_CLASSW, L"", 0, 0);
  SendMessageW(ProgressBar, PBM_SETRANGE32, 0, 100);
  BtnOpenDebug = Child(Window, L"BUTTON", L"DiagnosticMode", WS_TABSTOP | BS_PUSHBUTTON, kIdDebug);
  BtnExit = Child(Window, L"BUTTON", L"Exit", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, kIdExit);
  MakeFonts();
  StatusChanged(controller_.Status());
  CentreOnScreen(Window);
}

TUpdateForm::~TUpdateForm() {
  // The window goes first: nothing may reach it from the engine's end any more.
  ended_ = true;
  controller_.Shutdown();
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
  for (HWND control : {Label1, reditDebug, BtnExit}) SetFont(control, font_);
  SetFont(BtnOpenDebug, buttonFont_);
}

void TUpdateForm::SetErrorDialog(TErrorMessageDlg* dialog) {
  dialog_ = dialog;
  controller_.SetErrorDialog(dialog);
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
  const SIZE text = MeasureText(Label1, font_, status_);
  const int labelWidth = std::max(scale_(kLabelWidth), static_cast<int>(text.cx));
  const int labelHeight = std::max(scale_(kLabelHeight), static_cast<int>(text.cy));
  MoveWindow(Label1, scale_(kLabelLeft), scale_(kLabelTop), labelWidth, labelHeight, TRUE);
  const int width = std::max(scale_(kClientWidth), scale_(kLabelLeft) + labelWidth + scale_(kLabelLeft));
  const int debugHeight = scale_(debugHeight_);
  MoveWindow(ProgressBar, scale_(8), scale_(16), scale_(465), scale_(16), TRUE);
  MoveWindow(BtnOpenDebug, scale_(53), scale_(72),
             ButtonWidth(BtnOpenDebug, buttonFont_, L"DiagnosticMode", scale_, 97), scale_(25), TRUE);
  MoveWindow(BtnExit, scale_(194), scale_(71), ButtonWidth(BtnExit, font_, L"Exit", scale_, 99), scale_(25),
             TRUE);
  MoveWindow(reditDebug, 0, scale_(kClientHeight), width, debugHeight, TRUE);
  const SIZE outer = OuterSize(kFormStyle, width, scale_(kClientHeight) + debugHeight);
  SetWindowPos(Window, nullptr, 0, 0, outer.cx, outer.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
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
      }
      return 0;
    case WM_CTLCOLORSTATIC:
      // The status line in the highlight colour, as designed.
      if (reinterpret_cast<HWND>(lParam) == Label1) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, GetSysColor(COLOR_HIGHLIGHT));
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

void TUpdateForm::EndProgram(int exitCode) {
  if (ended_) return;
  ended_ = true;
  if (dialog_) dialog_->Hide();
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
