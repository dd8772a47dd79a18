// The error log file on Windows: c:\Temp when it exists (where service staff look first), else the user's
// local application data; written beside its name and moved into place (toolkit/files).
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

  ReplaceLogFile(r, dir, content);
  return r;
}

}  // namespace app
