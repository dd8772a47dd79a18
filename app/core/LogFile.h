// The error log file: where it goes and how it is written. On Linux the directory is per user, so one user's
// updater never writes where another's could; on Windows it is the place service staff know. The file is
// replaced by a rename, never written through a link. (posix/log_file.cpp on Linux, win32/log_file.cpp on
// Windows, LogFileReplace.cpp on both.)
#pragma once

#include <chrono>
#include <string>

namespace app {

// When a run started, on the wall clock: it names the run's copy of its log (LogHistory.h).
using RunStart = std::chrono::system_clock::time_point;
// This program's start: one run, one name, however often its log is written.
RunStart ProgramStart();

struct LogFileResult {
  bool Written = false;
  std::string Path;   // the file (or the directory, when there is none)
  std::string Error;  // why it was not written
  std::string Note;   // where the file went instead of its usual place, and why its history copy was not
                      // kept; empty when all is where it belongs
};

#if defined(_WIN32)
// The folder service staff look in first.
inline constexpr char kServiceLogDirectory[] = "c:\\Temp";
// $BRAE_LOG_DIR when set and not empty, else c:\Temp (made when missing, by WriteLogFile).
std::string LogDirectory(const char* logDir);
// Where the file goes when c:\Temp cannot be made or used: %LOCALAPPDATA%\brae-update; empty without it.
std::string LogFallbackDirectory(const char* localAppData);
// WriteLogFile into the service folder `serviceDir`: made when missing (one level); when it cannot be made,
// is no folder, is a link, or the file cannot be written there, the file goes to `fallbackDir` instead, and
// both the file's last line and the result's Note name where it went and why.
LogFileResult WriteServiceLogFile(const std::string& serviceDir, const std::string& fallbackDir,
                                  const std::string& name, const std::string& content);
// The service folder made when missing (one level) and held open while it lives: a folder of its own, no
// link, which no one can rename or remove meanwhile. Error() says why not; empty when held.
class ServiceFolderHold {
 public:
  explicit ServiceFolderHold(const std::string& dir);
  ~ServiceFolderHold();
  ServiceFolderHold(const ServiceFolderHold&) = delete;
  ServiceFolderHold& operator=(const ServiceFolderHold&) = delete;
  const std::string& Error() const { return error_; }

 private:
  void* handle_ = nullptr;  // the folder's HANDLE, once open
  std::string error_;
};
#else
// $BRAE_LOG_DIR when set and not empty, else $XDG_STATE_HOME/brae-update (an absolute XDG_STATE_HOME only),
// else $HOME/.local/state/brae-update; empty when none of them gives a place.
std::string LogDirectory(const char* logDir, const char* xdgStateHome, const char* home);
#endif
// The same from this process's environment (on Linux also the password database when HOME is not set).
std::string LogDirectoryFromEnvironment();

// Creates the directory and its missing parents (on Linux each new one 0700), then replaces `dir`/name with
// `content`: written to a new file beside it and renamed into place. It refuses a name held by another
// user's file. A symlink at the name is replaced, its target untouched. On Windows c:\Temp goes the
// way of WriteServiceLogFile, with %LOCALAPPDATA%\brae-update as its fallback. With a `start`, the run's
// copy is also kept in the history folder beside the file (KeepInHistory), which never stops the file
// itself. Never throws.
LogFileResult WriteLogFile(const std::string& dir, const std::string& name, const std::string& content,
                           RunStart start = {});

// The last step of WriteLogFile on every system: `content` written beside r.Path and renamed into place;
// sets r.Written, or r.Error naming `dir` or r.Path.
void ReplaceLogFile(LogFileResult& r, const std::string& dir, const std::string& content);

}  // namespace app
