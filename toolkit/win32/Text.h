// Text across the Win32 boundary, for every Windows file of the project: UTF-8 inside, UTF-16 for the
// system's wide calls, and the system's own message for an error code. Header-only, so the libraries that
// link no toolkit can use it too. Includes <windows.h>: include it after the project's own headers.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// The runtime's own MessageBox keeps its name in every file that includes this one (the wide call is
// MessageBoxW by name).
#undef MessageBox

#include <string>

namespace tk::win32 {

inline std::wstring Widen(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

inline std::string Narrow(const wchar_t* w, size_t length) {
  if (length == 0) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(length), s.data(), n, nullptr, nullptr);
  return s;
}

inline std::string Narrow(const std::wstring& w) {
  return Narrow(w.data(), w.size());
}

// The system's text for an error code, on one line and without its full stop.
inline std::string SystemText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = n > 0 && buffer ? Narrow(buffer, n) : std::string();
  if (buffer) LocalFree(buffer);
  // The system's texts end in a full stop and a line break, and some run over several lines.
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '.')) text.pop_back();
  return text.empty() ? "system error " + std::to_string(code) : text;
}

// A variable of this process's environment in UTF-8; empty when it is not set.
inline std::string Environment(const wchar_t* name) {
  const DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
  if (n == 0) return {};
  std::wstring value(n, L'\0');
  const DWORD got = GetEnvironmentVariableW(name, value.data(), n);
  value.resize(got < n ? got : 0);
  return Narrow(value);
}

// Output in UTF-8 shows right on a console only in its UTF-8 code page. The console is the caller's, so its
// own page comes back at the end (a program that left it changed would garble the next program's text).
class Utf8Console {
 public:
  Utf8Console() : old_(GetConsoleOutputCP()) {
    if (old_ != 0) SetConsoleOutputCP(CP_UTF8);
  }
  ~Utf8Console() {
    if (old_ != 0) SetConsoleOutputCP(old_);
  }
  Utf8Console(const Utf8Console&) = delete;
  Utf8Console& operator=(const Utf8Console&) = delete;

 private:
  const UINT old_;
};

}  // namespace tk::win32
