// The error log file on Windows: c:\Temp, made when it is missing (where service staff are told to look);
// only when that folder cannot be made or used, the user's local application data, and the file then says
// so itself. Written beside its name and moved into place (toolkit/files).
#include "app/core/LogFile.h"
#include "app/core/LogHistory.h"
#include "app/core/Texts.h"
#include "toolkit/files/WriteBeside.h"
#include "toolkit/win32/Text.h"

#include <aclapi.h>

namespace app {

namespace {

using tk::win32::Widen;

std::string Reason(const std::string& what, DWORD code) {
  return what + ": " + tk::win32::SystemText(code);
}

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

std::string Join(const std::string& dir, const std::string& name) {
  return IsSeparator(dir.back()) ? dir + name : dir + "\\" + name;
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

LogFileResult WriteInto(const std::string& dir, const std::string& name, const std::string& content) {
  LogFileResult r;
  r.Path = Join(dir, name);
  if (!MakeDirectories(dir, &r.Error)) return r;
  ReplaceLogFile(r, dir, content);
  return r;
}

}  // namespace

// One level, as service staff would make it by hand. Any user may make a folder in the root of c:, so one
// that is a link (a junction or a symbolic link) may lead anywhere: the file is never written through it.
// Held without delete sharing, the folder can be neither renamed nor removed (and a link put in its place)
// until the file is written; a handle with attribute access only would not hold it.
ServiceFolderHold::ServiceFolderHold(const std::string& dir) {
  const std::wstring wide = Widen(dir);
  if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES &&
      !CreateDirectoryW(wide.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    error_ = Reason("cannot create " + dir, GetLastError());
    return;
  }
  const HANDLE folder = CreateFileW(wide.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    error_ = Reason(dir, GetLastError());
    return;
  }
  handle_ = folder;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(folder, &info)) {
    error_ = Reason(dir, GetLastError());
    return;
  }
  // Wine opens what a host link leads to, so there only the name shows the link.
  const DWORD byName = GetFileAttributesW(wide.c_str());
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    error_ = Reason(dir, ERROR_DIRECTORY);
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
             (byName != INVALID_FILE_ATTRIBUTES && (byName & FILE_ATTRIBUTE_REPARSE_POINT))) {
    error_ = dir + ": is a link, not a folder of its own";
  }
}

ServiceFolderHold::~ServiceFolderHold() {
  if (handle_) CloseHandle(handle_);
}

namespace {

bool SameFolderName(const std::string& a, const std::string& b) {
  return CompareStringOrdinal(Widen(a).c_str(), -1, Widen(b).c_str(), -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

std::string LogDirectory(const char* logDir) {
  if (logDir && *logDir) return logDir;
  return kServiceLogDirectory;
}

std::string LogFallbackDirectory(const char* localAppData) {
  if (localAppData && *localAppData) return Join(localAppData, kLogSubdirectory);
  return {};
}

std::string LogDirectoryFromEnvironment() {
  return LogDirectory(tk::win32::Environment(L"BRAE_LOG_DIR").c_str());
}

LogFileResult WriteServiceLogFile(const std::string& serviceDir, const std::string& fallbackDir,
                                  const std::string& name, const std::string& content) {
  std::string why;
  {
    const ServiceFolderHold held(serviceDir);
    why = held.Error();
    if (why.empty()) {
      LogFileResult r = WriteInto(serviceDir, name, content);
      if (r.Written) return r;
      why = r.Error;
    }
  }
  LogFileResult r;
  if (fallbackDir.empty()) {
    r.Path = Join(serviceDir, name);
    r.Error = why + "; and LOCALAPPDATA is not set";
    return r;
  }
  const std::string note =
      "The error log file cannot go to " + serviceDir + " (" + why + "): it is " + Join(fallbackDir, name);
  // The file itself tells where it went and why, for whoever finds it there.
  std::string withNote = content;
  if (!withNote.empty() && withNote.back() != '\n') withNote += "\r\n";
  withNote += note + "\r\n";
  r = WriteInto(fallbackDir, name, withNote);
  r.Note = note;
  if (!r.Written) r.Error = why + "; " + r.Error;
  return r;
}

LogFileResult WriteLogFile(const std::string& dir, const std::string& name, const std::string& content,
                           RunStart start) {
  if (dir.empty()) {
    LogFileResult r;
    r.Error = "no directory for the log file";
    return r;
  }
  LogFileResult r =
      SameFolderName(dir, kServiceLogDirectory)
          ? WriteServiceLogFile(dir, LogFallbackDirectory(tk::win32::Environment(L"LOCALAPPDATA").c_str()),
                                name, content)
          : WriteInto(dir, name, content);
  // Beside wherever the file went: in the fallback folder too.
  KeepInHistory(r, name, content, start);
  return r;
}

LocalTime ToLocalTime(RunStart start) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(start.time_since_epoch()).count();
  // FILETIME counts 100 ns from 1601; the zone's rule of that day applies, not today's.
  const ULONGLONG ticks = static_cast<ULONGLONG>(ms) * 10000 + 116444736000000000ULL;
  const FILETIME utcFile{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME utc{}, local{};
  FileTimeToSystemTime(&utcFile, &utc);
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
  return {local.wYear,   local.wMonth,  local.wDay,         local.wHour,
          local.wMinute, local.wSecond, local.wMilliseconds};
}

// Held as c:\Temp is: any user may make folders there, so a link in its place is refused and the folder
// stays put while it is used.
HistoryFolder::HistoryFolder(const std::string& dir) : dir_(dir), hold_(dir) {
  error_ = hold_.Error();
}

HistoryFolder::~HistoryFolder() = default;

namespace {

// The owner of the file (never what a link leads to) is this user.
bool OwnFile(const std::wstring& path) {
  const HANDLE file =
      CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  const DWORD got = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                    nullptr, nullptr, &security);
  // A file system that keeps no owners gives none: the folder's rights decide, as for the log file.
  const bool own = got == ERROR_SUCCESS && (!owner || tk::IsOwnSid(owner));
  if (security) LocalFree(security);
  CloseHandle(file);
  return own;
}

}  // namespace

std::vector<std::string> HistoryFolder::OwnFiles() const {
  std::vector<std::string> names;
  if (!error_.empty()) return names;
  WIN32_FIND_DATAW found{};
  const HANDLE find = FindFirstFileW(Widen(Join(dir_, "*")).c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    const std::string name = tk::win32::Narrow(found.cFileName);
    if (OwnFile(Widen(Join(dir_, name)))) names.push_back(name);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return names;
}

bool HistoryFolder::Remove(const std::string& name, std::string* why) const {
  const std::string path = Join(dir_, name);
  if (DeleteFileW(Widen(path).c_str())) return true;
  const DWORD code = GetLastError();
  if (code == ERROR_FILE_NOT_FOUND) return true;
  *why = Reason("cannot remove " + path, code);
  return false;
}

}  // namespace app
