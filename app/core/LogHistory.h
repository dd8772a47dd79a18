// Every run's log kept beside the error log file: the file itself is replaced by each run, so that a failed
// update seen at a customer yesterday would be gone today. Its copies go to the folder `history` next to it,
// one per run (and port of a batch) named by the run's start time, the newest kLogHistoryKept of them.
// (LogHistory.cpp on every system; the folder's calls in posix/log_file.cpp and win32/log_file.cpp.)
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "app/core/LogFile.h"

namespace app {

inline constexpr char kLogHistorySubdirectory[] = "history";
inline constexpr size_t kLogHistoryKept = 50;

// "2026-12-09_221503.123.TXT" for the log file's own name, "2026-12-09_221503.123.Com3.TXT" for a port's
// (PortLogFileName): the start in local time, so that the names sort by it, then what the name adds to
// "VeltronaUpdateBraeError".
std::string HistoryFileName(const std::string& logName, RunStart start);
// Whether `name` is one HistoryFileName gives: only those are ever removed from the folder.
bool IsHistoryFileName(const std::string& name);
// Of the names in a history folder, those to remove so that the newest `kept` history files stay; other
// names and `keep` (the file just written) are never among them.
std::vector<std::string> HistoryToRemove(std::vector<std::string> names, const std::string& keep,
                                         size_t kept);

// After the log file was written as r: its copy replaced in the history folder beside it and the oldest
// copies beyond kLogHistoryKept removed. Whatever fails is added to r.Note; r.Written stays as it was.
void KeepInHistory(LogFileResult& r, const std::string& logName, const std::string& content, RunStart start);

// The calls of one system.
struct LocalTime {
  int Year, Month, Day, Hour, Minute, Second, Millisecond;
};
LocalTime ToLocalTime(RunStart start);

// The history folder, made when missing (one level, private on Linux) and held open while it lives: a folder
// of its own, no link. Error() says why not; empty when held.
class HistoryFolder {
 public:
  explicit HistoryFolder(const std::string& dir);
  ~HistoryFolder();
  HistoryFolder(const HistoryFolder&) = delete;
  HistoryFolder& operator=(const HistoryFolder&) = delete;
  const std::string& Error() const { return error_; }
  // The names of this user's own plain files in it (no links, no folders).
  std::vector<std::string> OwnFiles() const;
  // Removes one of them; false with `why` when it cannot.
  bool Remove(const std::string& name, std::string* why) const;

 private:
  std::string dir_;
  std::string error_;
#if defined(_WIN32)
  ServiceFolderHold hold_;
#else
  int fd_ = -1;
#endif
};

}  // namespace app
