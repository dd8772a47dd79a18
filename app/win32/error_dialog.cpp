// The native error dialog: one numbered problem with what to check, sized to its text; Quit ends the
// program as the main window's Exit does.
#include <algorithm>

#include "app/core/ErrorTexts.h"
#include "app/win32/UpdateWindow.h"
#include "app/win32/controls.h"
// After <windows.h>.
#include <commctrl.h>
#include <richedit.h>

namespace app {

using namespace win32ui;

namespace {

// The design, in pixels at 96 DPI (client area).
constexpr int kDialogClientWidth = 524;  // 532 outer less the frame, as the other window's
constexpr int kDialogFrameHeight = 31;
constexpr int kTextLeft = 8;
constexpr int kTextWidth = 513;
constexpr int kQuitLeft = 223;
constexpr int kQuitWidth = 75;
constexpr int kIdQuit = 103;
constexpr UINT_PTR kHideTimer = 1;
constexpr DWORD kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;

}  // namespace

TErrorMessageDlg::TErrorMessageDlg(std::function<void()> quit, HWND owner) : quit_(std::move(quit)) {
  Register(kDialogClass, Proc);
  CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kDialogClass, L"Update Error Message",
                  kDialogStyle, CW_USEDEFAULT, CW_USEDEFAULT, 100, 100, owner, nullptr,
                  GetModuleHandleW(nullptr), this);
  scale_ = Scale(DpiOf(Window));
  // The rich edit control, for the heading of the problem message; the plain one where it is missing.
  static const bool rich = LoadLibraryW(L"msftedit.dll") != nullptr;
  RichEdit1 = Child(Window, rich ? L"RICHEDIT50W" : L"EDIT", L"",
                    WS_VISIBLE | WS_BORDER | ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | ES_AUTOVSCROLL, 0);
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
  detail_.clear();
  const ErrorText text = ErrorTextFor(code);
  Fill();
  KillTimer(Window, kHideTimer);
  if (text.HidesItself) SetTimer(Window, kHideTimer, kRestoredHideMs, nullptr);
  if (!placed_) {
    // In the centre of the screen the first time; afterwards wherever the user left it.
    CentreOnScreen(Window);
    placed_ = true;
  }
  ShowWindow(Window, SW_SHOWNORMAL);
  SetForegroundWindow(Window);
  if (CodeShown) CodeShown(code);
}

void TErrorMessageDlg::ShowErrorDetail(const std::string& detail) {
  detail_ = detail;
  Fill();
}

void TErrorMessageDlg::Fill() {
  const ErrorText text = ErrorTextFor(ShownCode);
  lines_ = text.Lines;
  codeLines_ = lines_.size();
  if (!detail_.empty()) {
    lines_.emplace_back();
    for (size_t from = 0;;) {
      const size_t end = detail_.find('\n', from);
      std::string line = detail_.substr(from, end == std::string::npos ? std::string::npos : end - from);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines_.push_back(line);
      if (end == std::string::npos) break;
      from = end + 1;
    }
  }
  text_.clear();
  for (size_t i = 0; i < lines_.size(); ++i) text_ += (i ? "\r\n" : "") + lines_[i];
  lineCount_ = static_cast<int>(lines_.size());
  problemFormat_ = text.ProblemFormat;
  SetWindowTextW(RichEdit1, tk::win32::Widen(text_).c_str());
  // The whole text in the box's font again (a rich edit keeps the last text's formats otherwise); the
  // problem message's first two lines as a bold heading, the rest of its lines smaller, a detail plain.
  SetFont(RichEdit1, textFont_);
  if (problemFormat_ && codeLines_ > 2) {
    const LRESULT bodyStart = SendMessageW(RichEdit1, EM_LINEINDEX, 2, 0);
    const LRESULT bodyEnd =
        codeLines_ < lines_.size() ? SendMessageW(RichEdit1, EM_LINEINDEX, codeLines_, 0) : -1;
    FormatRange(0, bodyStart, true, 240);
    FormatRange(bodyStart, bodyEnd, false, 200);
    SendMessageW(RichEdit1, EM_SETSEL, 0, 0);
  }
  Layout();
}

void TErrorMessageDlg::Layout() {
  // The designed sizes, grown where the font at hand needs more room: every line whole, so the box needs no
  // scroll bar (it has none: it always holds its text).
  const DialogGeometry g = DialogGeometryFor(lineCount_);
  SIZE measured{0, 0};
  for (size_t i = 0; i < lines_.size(); ++i) {
    HFONT font = !problemFormat_ || i >= codeLines_ ? textFont_ : (i < 2 ? headingFont_ : bodyFont_);
    const SIZE line = MeasureText(RichEdit1, font, lines_[i]);
    measured.cx = std::max(measured.cx, line.cx);
    measured.cy += line.cy;
  }
  const int frame = 2 * GetSystemMetrics(SM_CXEDGE) + 4;
  const int width = std::max(scale_(kTextWidth), static_cast<int>(measured.cx) + frame);
  const int textHeight = std::max(scale_(g.TextHeight), static_cast<int>(measured.cy) + frame);
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

}  // namespace app
