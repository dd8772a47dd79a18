// What the native window's tests share: a scratch folder, a file's bytes, a window's text, and a program's
// exit code once it has ended.
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "toolkit/win32/Text.h"

namespace win32_test {

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

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::string TextOf(HWND window) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return tk::win32::Narrow(text);
}

// Waits for a started program's end (ending it, and failing, after `ms`) and releases its handles.
inline DWORD ExitCodeOf(PROCESS_INFORMATION& process, DWORD ms, const char* notEnded) {
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

}  // namespace win32_test
