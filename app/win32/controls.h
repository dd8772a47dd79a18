// What the native windows share: their classes' registration, child controls, fonts on controls, outer
// sizes, centring, button widths, edit-control line ends and the window procedure's owner. Include after the
// project's other headers (it includes <windows.h>).
#pragma once

#include <algorithm>
#include <string>

#include "app/win32/UpdateWindow.h"

namespace app::win32ui {

// Room beside a button's caption: its frame and margin.
inline constexpr int kButtonMargin = 12;

inline constexpr wchar_t kFormClass[] = L"BraeUpdateForm";
inline constexpr wchar_t kDialogClass[] = L"BraeErrorMessageDlg";

inline void Register(const wchar_t* name, WNDPROC proc) {
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

inline HWND Child(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id) {
  return CreateWindowExW(0, cls, text, WS_CHILD | style, 0, 0, 0, 0, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr),
                         nullptr);
}

inline void SetFont(HWND control, HFONT font) {
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

// The outer size of a window whose client area is `width` x `height`.
inline SIZE OuterSize(DWORD style, int width, int height) {
  RECT r{0, 0, width, height};
  AdjustWindowRectEx(&r, style, FALSE, 0);
  return {r.right - r.left, r.bottom - r.top};
}

inline void CentreOnScreen(HWND window) {
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

inline int ButtonWidth(HWND button, HFONT font, const std::wstring& caption, const Scale& scale,
                       int designed) {
  return std::max(
      scale(designed),
      static_cast<int>(MeasureText(button, font, tk::win32::Narrow(caption)).cx) + scale(kButtonMargin));
}

// "\n" line ends become the edit control's "\r\n".
inline std::wstring EditText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return tk::win32::Widen(out);
}

inline void AllowAnySize(LPARAM lParam) {
  auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
  limits->ptMaxTrackSize = {32767, 32767};
}

template <typename T>
inline T* Owner(HWND window, UINT message, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<T*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->Window = window;
  }
  return reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

}  // namespace app::win32ui
