// The error log file on Windows: c:\Temp when it exists (where service staff look first), else the user's
// local application data; written beside its name and moved into place.
#include <algorithm>
#include <random>

#include "app/core/LogFile.h"
#include "app/core/Texts.h"
#include "toolkit/win32/Text.h"

namespace app {

namespace {

using tk::win32::Widen;

std::string Reason(const std::string& what, DWORD code) {
  return what + ": " + tk::win32::SystemText(code);
}

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

bool IsDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The folder and its missing parents; an existing folder is used as it is.
bool MakeDirectories(const std::string& dir, std::string* error) {
  const DWORD attributes = GetFileAttributesW(Widen(dir).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
    *error = Reason(dir, ERROR_DIRECTORY);
    return false;
  }
  size_t end = dir.size();
  while (end > 0 && IsSeparator(dir[end - 1])) --end;
  const size_t slash = dir.find_last_of("\\/", end == 0 ? 0 : end - 1);
  // A parent that is a drive ("c:") or the root needs no making.
  if (slash != std::string::npos && slash > 0 && dir[slash - 1] != ':') {
    if (!MakeDirectories(dir.substr(0, slash), error)) return false;
  }
  if (!CreateDirectoryW(Widen(dir).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    *error = Reason("cannot create " + dir, GetLastError());
    return false;
  }
  return true;
}

}  // namespace

std::string LogDirectory(const char* logDir, bool serviceDirectoryExists, const char* localAppData) {
  if (logDir && *logDir) return logDir;
  if (serviceDirectoryExists) return kServiceLogDirectory;
  if (localAppData && *localAppData) return std::string(localAppData) + "\\" + kLogSubdirectory;
  return {};
}

std::string LogDirectoryFromEnvironment() {
  const std::string logDir = tk::win32::Environment(L"BRAE_LOG_DIR");
  const std::string localAppData = tk::win32::Environment(L"LOCALAPPDATA");
  return LogDirectory(logDir.c_str(), IsDirectory(kServiceLogDirectory), localAppData.c_str());
}

LogFileResult WriteLogFile(const std::string& dir, const std::string& name, const std::string& content) {
  LogFileResult r;
  if (dir.empty()) {
    r.Error = "no directory for the log file (neither BRAE_LOG_DIR nor LOCALAPPDATA is set)";
    return r;
  }
  r.Path = IsSeparator(dir.back()) ? dir + name : dir + "\\" + name;
  if (!MakeDirectories(dir, &r.Error)) return r;

  // A new file of our own beside the name; the move then replaces whatever held the name (a link itself, not
  // its target).
  std::random_device random;
  std::string temp;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 16 && file == INVALID_HANDLE_VALUE; ++attempt) {
    temp = r.Path.substr(0, r.Path.size() - name.size()) + "." + name + "." +
           std::to_string(random() % 1000000000u);
    file = CreateFileW(Widen(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    r.Error = Reason("cannot create a file in " + dir, GetLastError());
    return r;
  }
  DWORD err = 0;
  size_t done = 0;
  while (err == 0 && done < content.size()) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - done, 1 << 20));
    if (!WriteFile(file, content.data() + done, chunk, &n, nullptr)) err = GetLastError();
    done += n;
  }
  if (err == 0 && !FlushFileBuffers(file)) err = GetLastError();
  CloseHandle(file);
  if (err == 0 && !MoveFileExW(Widen(temp).c_str(), Widen(r.Path).c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    err = GetLastError();
  }
  if (err != 0) {
    DeleteFileW(Widen(temp).c_str());
    r.Error = Reason(r.Path, err);
    return r;
  }
  r.Written = true;
  return r;
}

}  // namespace app
