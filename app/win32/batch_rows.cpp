#include <algorithm>
#include <cctype>
#include <utility>

#include "app/core/Texts.h"
#include "serial/CommOs.h"
#include "toolkit/Runtime.h"
// After the project's other headers (these include <windows.h>).
#include "app/win32/BatchRows.h"
#include "app/win32/controls.h"
// After <windows.h>.
#include <commctrl.h>

namespace app {

using namespace win32ui;

namespace {

constexpr wchar_t kRowClass[] = L"BraePortRow";
constexpr wchar_t kLogClass[] = L"BraePortLog";
constexpr wchar_t kPaneClass[] = L"BraeRowsPane";
constexpr int kWheelStep = 48;  // pixels a notch of the mouse wheel scrolls the rows
constexpr UINT_PTR kClickTimer = 1;
// The design, in pixels at 96 DPI.
constexpr int kMargin = 8;
constexpr int kGap = 12;
constexpr int kBarHeight = 16;
// The rate's room: its longest text, so that the row does not change its layout at every count.
constexpr char kWidestRate[] = "000.0 kB/s  00:00 left";

// COM names are the same in any letter case.
bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// A device that says more than the port's name: "\\\\.\\COM3" and "Com3" say no more than COM3.
std::string Informative(const std::string& device, const std::string& name) {
  const std::string bare = device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
  return SameName(bare, name) ? std::string() : device;
}

// The device a port name stands for, when it says more than the name.
std::string DeviceOf(const std::string& name) {
  try {
    return Informative(commos::ResolvePortName(name), name);
  } catch (...) {
    return std::string();
  }
}

// The log window: its edit control fills it.
LRESULT CALLBACK LogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SIZE) {
    if (HWND box = GetWindow(window, GW_CHILD)) MoveWindow(box, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

TPortRow::TPortRow(HWND parent, const std::string& name, std::function<uint64_t()> clockMs,
                   std::function<void()> resized)
    : rate_(std::move(clockMs)), resized_(std::move(resized)) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = Proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  wc.lpszClassName = kRowClass;
  RegisterClassExW(&wc);  // a second row finds the class there already
  Register(kLogClass, LogProc);
  CreateWindowExW(0, kRowClass, L"", WS_CHILD | WS_VISIBLE | WS_BORDER | WS_CLIPCHILDREN, 0, 0, 0, 0, parent,
                  nullptr, GetModuleHandleW(nullptr), this);
  // Labels without SS_NOTIFY let the mouse through to the row.
  const DWORD label = WS_VISIBLE | SS_LEFT | SS_NOPREFIX;
  PortLabel = Child(Window, L"STATIC", L"", label, 0);
  DeviceLabel = Child(Window, L"STATIC", L"", label, 0);
  ResultLabel = Child(Window, L"STATIC", L"", WS_VISIBLE | SS_RIGHT | SS_NOPREFIX, 0);
  StatusLabel = Child(Window, L"STATIC", L"", label, 0);
  RateLabel = Child(Window, L"STATIC", L"", WS_VISIBLE | SS_RIGHT | SS_NOPREFIX, 0);
  Bar = Child(Window, PROGRESS_CLASSW, L"", 0, 0);
  ErrorLabel = Child(Window, L"STATIC", L"", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, 0);
  ChecklistLabel = Child(Window, L"STATIC", L"", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, 0);
  SetScale(Scale(DpiOf(parent)));
  Reset(name);
}

TPortRow::~TPortRow() {
  CloseLog();
  if (Window) {
    SetWindowLongPtrW(Window, GWLP_USERDATA, 0);
    DestroyWindow(Window);
  }
  for (HFONT f : {font_, bold_, small_}) {
    if (f) DeleteObject(f);
  }
}

void TPortRow::SetScale(const Scale& scale) {
  scale_ = scale;
  for (HFONT f : {font_, bold_, small_}) {
    if (f) DeleteObject(f);
  }
  font_ = NewUiFont(13, scale_);
  bold_ = NewUiFont(13, scale_, true);
  small_ = NewUiFont(11, scale_);
  for (HWND control : {DeviceLabel, StatusLabel, RateLabel, ErrorLabel}) SetFont(control, font_);
  for (HWND control : {PortLabel, ResultLabel}) SetFont(control, bold_);
  SetFont(ChecklistLabel, small_);
}

void TPortRow::Reset(const std::string& name) {
  name_ = name;
  device_ = DeviceOf(name);
  baud_ = 0;
  code_ = 0;
  message_.clear();
  outcome_ = PortOutcome::Running;
  log_.clear();
  position_ = 0;
  max_ = 100;
  barShown_ = false;
  clickPending_ = false;
  KillTimer(Window, kClickTimer);
  SetText(PortLabel, name);
  // Every port begins by looking for its indicator, in a whole row.
  compact_ = false;
  SetText(StatusLabel, kSearchingStatus);
  ShowWindow(StatusLabel, SW_SHOW);
  ShowWindow(RateLabel, SW_SHOW);
  SetText(ResultLabel, "");
  SetText(RateLabel, "");
  SendMessageW(Bar, PBM_SETRANGE32, 0, 100);
  SendMessageW(Bar, PBM_SETPOS, 0, 0);
  ShowWindow(Bar, SW_HIDE);
  if (LogBox()) SetWindowTextW(LogBox(), L"");
  ShowDevice();
  ShowError();
}

void TPortRow::SetText(HWND label, const std::string& text) {
  SetWindowTextW(label, tk::win32::Widen(text).c_str());
}

void TPortRow::Changed() {
  if (resized_) resized_();
}

int TPortRow::NaturalWidth() const {
  auto width = [this](HWND label, HFONT font) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(label)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(label, text.data(), static_cast<int>(text.size()))));
    return static_cast<int>(MeasureText(label, font, tk::win32::Narrow(text)).cx);
  };
  const int rate = static_cast<int>(MeasureText(RateLabel, font_, kWidestRate).cx);
  const int top =
      width(PortLabel, bold_) + width(DeviceLabel, font_) + width(ResultLabel, bold_) + 2 * scale_(kGap);
  const int second = compact_ ? 0 : width(StatusLabel, font_) + rate + scale_(kGap);
  return std::max(top, second) + 2 * scale_(kMargin) + 2 * GetSystemMetrics(SM_CXBORDER);
}

int TPortRow::Place(int left, int top, int width) {
  auto measure = [](HWND label, HFONT font) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(label)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(label, text.data(), static_cast<int>(text.size()))));
    return MeasureText(label, font, tk::win32::Narrow(text.empty() ? L" " : text));
  };
  const int inner = width - 2 * GetSystemMetrics(SM_CXBORDER);
  const int m = scale_(kMargin);
  int y = scale_(4);
  const SIZE port = measure(PortLabel, bold_);
  const SIZE device = measure(DeviceLabel, font_);
  const SIZE result = measure(ResultLabel, bold_);
  const int line = std::max<int>({scale_(16), port.cy, device.cy});
  MoveWindow(PortLabel, m, y, port.cx, line, TRUE);
  MoveWindow(DeviceLabel, m + port.cx + scale_(kGap), y, device.cx, line, TRUE);
  MoveWindow(ResultLabel, inner - m - result.cx, y, result.cx, line, TRUE);
  y += line + scale_(2);
  const SIZE status = measure(StatusLabel, font_);
  const int rate = static_cast<int>(MeasureText(RateLabel, font_, kWidestRate).cx);
  MoveWindow(StatusLabel, m, y, status.cx, line, TRUE);
  MoveWindow(RateLabel, inner - m - rate, y, rate, line, TRUE);
  if (!compact_) y += line + scale_(2);
  if (barShown_) {
    MoveWindow(Bar, m, y, inner - 2 * m, scale_(kBarHeight), TRUE);
    y += scale_(kBarHeight) + scale_(2);
  }
  if (!error_.Headline.empty()) {
    MoveWindow(ErrorLabel, m, y, inner - 2 * m, line, TRUE);
    y += line + scale_(2);
  }
  if (!error_.Checklist.empty()) {
    const int small = std::max<int>(scale_(14), MeasureText(ChecklistLabel, small_, "Ag").cy);
    MoveWindow(ChecklistLabel, m, y, inner - 2 * m, small, TRUE);
    y += small + scale_(2);
  }
  const int height = y + scale_(2) + 2 * GetSystemMetrics(SM_CYBORDER);
  MoveWindow(Window, left, top, width, height, TRUE);
  return height;
}

void TPortRow::ShowDevice() {
  std::string text = device_;
  if (baud_ > 0) text += (text.empty() ? "" : "  ") + std::to_string(baud_) + " baud";
  SetText(DeviceLabel, text);
  Changed();
}

void TPortRow::ShowError() {
  error_ = RowError(code_);
  if (code_ == 0 && !message_.empty()) {
    // A message that ended the update stands where an error would.
    error_.Headline = message_.substr(0, message_.find_first_of("\r\n"));
    error_.Full = message_;
  }
  SetText(ErrorLabel, error_.Headline);
  SetText(ChecklistLabel, error_.Checklist);
  ShowWindow(ErrorLabel, error_.Headline.empty() ? SW_HIDE : SW_SHOW);
  ShowWindow(ChecklistLabel, error_.Checklist.empty() ? SW_HIDE : SW_SHOW);
  Changed();
}

void TPortRow::ShowRate() {
  SetText(RateLabel, barShown_ ? rate_.Text(position_, max_) : std::string());
}

void TPortRow::ShowFullText() {
  clickPending_ = false;
  KillTimer(Window, kClickTimer);
  if (error_.Full.empty()) return;
  tk::App().MessageBox(error_.Full, name_ + " - Update Error Message");
}

void TPortRow::Click() {
  if (error_.Headline.empty()) return;
  clickPending_ = true;
  SetTimer(Window, kClickTimer, GetDoubleClickTime(), nullptr);
}

void TPortRow::DoubleClick() {
  clickPending_ = false;
  KillTimer(Window, kClickTimer);
  OpenLog();
}

HWND TPortRow::LogWindow() const {
  return logWindow_ && IsWindow(logWindow_) ? logWindow_ : nullptr;
}

HWND TPortRow::LogBox() const {
  return LogWindow() ? GetWindow(logWindow_, GW_CHILD) : nullptr;
}

void TPortRow::OpenLog() {
  clickPending_ = false;
  KillTimer(Window, kClickTimer);
  const std::wstring title = tk::win32::Widen(name_ + " - Diagnostic log");
  if (!LogWindow()) {
    // A window of its own, owned by the main window, filled by its edit control; its close box destroys it.
    logWindow_ = CreateWindowExW(0, kLogClass, title.c_str(), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                                 CW_USEDEFAULT, CW_USEDEFAULT, scale_(600), scale_(400),
                                 GetAncestor(Window, GA_ROOT), nullptr, GetModuleHandleW(nullptr), nullptr);
    HWND box = Child(
        logWindow_, L"EDIT", L"",
        WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | ES_AUTOVSCROLL,
        0);
    SendMessageW(box, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);
    SetFont(box, font_);
    RECT r{};
    GetClientRect(logWindow_, &r);
    MoveWindow(box, 0, 0, r.right, r.bottom, TRUE);
  }
  SetWindowTextW(logWindow_, title.c_str());
  std::string all;
  for (size_t i = 0; i < log_.size(); ++i) all += (i ? "\r\n" : "") + log_[i];
  SetWindowTextW(LogBox(), tk::win32::Widen(all).c_str());
  ShowWindow(logWindow_, SW_SHOWNORMAL);
  SendMessageW(LogBox(), WM_VSCROLL, SB_BOTTOM, 0);
}

void TPortRow::CloseLog() {
  if (LogWindow()) DestroyWindow(logWindow_);
  logWindow_ = nullptr;
}

LRESULT CALLBACK TPortRow::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  TPortRow* self = Owner<TPortRow>(window, message, lParam);
  return self ? self->Handle(message, wParam, lParam) : DefWindowProcW(window, message, wParam, lParam);
}

LRESULT TPortRow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_LBUTTONUP:
      // The release that ends a double-click is no click of its own.
      if (!std::exchange(doubleClicked_, false)) Click();
      return 0;
    case WM_LBUTTONDBLCLK:
      doubleClicked_ = true;
      DoubleClick();
      return 0;
    case WM_TIMER:
      if (wParam == kClickTimer) ShowFullText();
      return 0;
    case WM_CTLCOLORSTATIC: {
      const HWND label = reinterpret_cast<HWND>(lParam);
      COLORREF colour = GetSysColor(COLOR_WINDOWTEXT);
      if (label == StatusLabel) colour = GetSysColor(COLOR_HIGHLIGHT);
      if (label == ErrorLabel) colour = RGB(0xB0, 0x00, 0x00);
      if (label == ResultLabel) {
        colour = outcome_ == PortOutcome::Updated  ? RGB(0x00, 0x80, 0x00)
                 : outcome_ == PortOutcome::Failed ? RGB(0xB0, 0x00, 0x00)
                                                   : RGB(0x40, 0x40, 0x40);
      }
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, colour);
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    default:
      return DefWindowProcW(Window, message, wParam, lParam);
  }
}

// ---- What the port reports

void TPortRow::StatusChanged(const std::string& text) {
  SetText(StatusLabel, text);
  Changed();
}

void TPortRow::LogLinesAdded(const std::vector<std::string>& lines) {
  log_.insert(log_.end(), lines.begin(), lines.end());
  if (!LogWindow() || lines.empty()) return;
  HWND box = LogBox();
  std::string text;
  for (const auto& line : lines) text += "\r\n" + line;
  if (GetWindowTextLengthW(box) == 0) text.erase(0, 2);
  const std::wstring wide = tk::win32::Widen(text);
  const int length = GetWindowTextLengthW(box);
  SendMessageW(box, EM_SETSEL, length, length);
  SendMessageW(box, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide.c_str()));
}

void TPortRow::ProgressPositionChanged(int position) {
  // A count that goes back is a retry: its rate is measured anew.
  if (position < position_) rate_.Restart(position);
  position_ = position;
  SendMessageW(Bar, PBM_SETPOS, std::clamp(position_, 0, std::max(max_, 1)), 0);
  ShowRate();
}

void TPortRow::ProgressMaxChanged(int max) {
  max_ = max;
  SendMessageW(Bar, PBM_SETRANGE32, 0, std::max(max, 1));
  SendMessageW(Bar, PBM_SETPOS, std::clamp(position_, 0, std::max(max_, 1)), 0);
  rate_.Restart(position_);
  ShowRate();
}

void TPortRow::ProgressVisibleChanged(bool visible) {
  if (visible && !barShown_) rate_.Restart(position_);
  const bool changed = visible != barShown_;
  barShown_ = visible;
  ShowWindow(Bar, visible ? SW_SHOW : SW_HIDE);
  ShowRate();
  if (changed) Changed();
}

void TPortRow::PortAnswering(const std::string& name, const std::string& device, int baud) {
  // The name that keeps leading to the adapter says more than the name alone.
  if (!Informative(device, name).empty() && !Informative(device, name_).empty()) device_ = device;
  baud_ = baud;
  ShowDevice();
}

void TPortRow::ErrorChanged(uint32_t code) {
  code_ = code;
  ShowError();
}

void TPortRow::MessageShown(const std::string& text) {
  message_ = text;
  ShowError();
}

void TPortRow::Ended(const PortResult& result) {
  if (!Informative(result.Device, name_).empty()) device_ = result.Device;
  outcome_ = result.Outcome;
  SetText(StatusLabel, RowEndedStatus(result));
  // A port that never opened takes one line: its name and why; it has no status or progress to show.
  compact_ = NeverOpened(result);
  if (compact_) {
    barShown_ = false;
    for (HWND control : {StatusLabel, RateLabel, Bar}) ShowWindow(control, SW_HIDE);
  }
  // A reason that is the message the row already shows is not said twice.
  PortResult shown = result;
  if (!message_.empty() && shown.Reason == message_) shown.Reason.clear();
  SetText(ResultLabel, RowResultText(shown));
  ShowDevice();
}

// ---- The main window's pane of rows

HWND TUpdateForm::NewRowsPane() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = PaneProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  wc.lpszClassName = kPaneClass;
  RegisterClassExW(&wc);  // a second window finds the class there already
  return CreateWindowExW(WS_EX_CONTROLPARENT, kPaneClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0,
                         0, 0, Window, nullptr, GetModuleHandleW(nullptr), this);
}

void TUpdateForm::ScrollRows(int position) {
  const int clamped = std::clamp(position, 0, std::max(0, rowsTotal_ - rowsRoom_));
  if (clamped == scrolled_) return;
  scrolled_ = clamped;
  Layout();
}

LRESULT CALLBACK TUpdateForm::PaneProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    SetWindowLongPtrW(window, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
  }
  auto* form = reinterpret_cast<TUpdateForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (form && message == WM_VSCROLL) {
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_ALL;
    GetScrollInfo(window, SB_VERT, &info);
    int position = form->scrolled_;
    const int line = form->scale_(kWheelStep / 2);
    switch (LOWORD(wParam)) {
      case SB_LINEUP:
        position -= line;
        break;
      case SB_LINEDOWN:
        position += line;
        break;
      case SB_PAGEUP:
        position -= static_cast<int>(info.nPage);
        break;
      case SB_PAGEDOWN:
        position += static_cast<int>(info.nPage);
        break;
      case SB_THUMBTRACK:
      case SB_THUMBPOSITION:
        position = info.nTrackPos;
        break;
      case SB_TOP:
        position = 0;
        break;
      case SB_BOTTOM:
        position = form->rowsTotal_;
        break;
      default:
        break;
    }
    form->ScrollRows(position);
    return 0;
  }
  if (form && message == WM_MOUSEWHEEL) {
    const int notches = GET_WHEEL_DELTA_WPARAM(wParam) / WHEEL_DELTA;
    form->ScrollRows(form->scrolled_ - notches * form->scale_(kWheelStep));
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace app
