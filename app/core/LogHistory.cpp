// The run's copy of its log in the history folder: its name, and which older copies go.
#include "app/core/LogHistory.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "app/core/Texts.h"

namespace app {

namespace {

// Taken once, as the program starts: every write of its log names the same copy.
const RunStart kProgramStart = RunStart::clock::now();

// "VeltronaUpdateBraeError": what both the log file's name and a port's begin with.
std::string LogStem() {
  const std::string name = kLogFileName;
  return name.substr(0, name.rfind('.'));
}

constexpr char kStampPattern[] = "dddd-dd-dd_dddddd.ddd";
constexpr size_t kStampLength = sizeof kStampPattern - 1;
constexpr char kExtension[] = ".TXT";

bool PortCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
}

}  // namespace

RunStart ProgramStart() {
  return kProgramStart;
}

std::string HistoryFileName(const std::string& logName, RunStart start) {
  const LocalTime t = ToLocalTime(start);
  char stamp[80];  // room for any int the fields may hold, so that no build warns of a cut
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d_%02d%02d%02d.%03d", t.Year, t.Month, t.Day, t.Hour,
                t.Minute, t.Second, t.Millisecond);
  const std::string stem = LogStem();
  if (logName.compare(0, stem.size(), stem) == 0) return stamp + logName.substr(stem.size());
  return std::string(stamp) + "." + logName;
}

bool IsHistoryFileName(const std::string& name) {
  const size_t ext = sizeof kExtension - 1;
  if (name.size() < kStampLength + ext || name.compare(name.size() - ext, ext, kExtension) != 0) return false;
  for (size_t i = 0; i < kStampLength; ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(name[i])) != 0;
    if (kStampPattern[i] == 'd' ? !digit : name[i] != kStampPattern[i]) return false;
  }
  // Between the stamp and the extension: nothing, or a port's part of PortLogFileName.
  const std::string port = name.substr(kStampLength, name.size() - ext - kStampLength);
  if (port.empty()) return true;
  return port.size() > 1 && port[0] == '.' && std::all_of(port.begin() + 1, port.end(), PortCharacter);
}

std::vector<std::string> HistoryToRemove(std::vector<std::string> names, const std::string& keep,
                                         size_t kept) {
  names.erase(
      std::remove_if(names.begin(), names.end(), [](const std::string& n) { return !IsHistoryFileName(n); }),
      names.end());
  // The stamp leads, so the oldest sort first.
  std::sort(names.begin(), names.end());
  if (names.size() <= kept) return {};
  names.resize(names.size() - kept);
  names.erase(std::remove(names.begin(), names.end(), keep), names.end());
  return names;
}

void KeepInHistory(LogFileResult& r, const std::string& logName, const std::string& content, RunStart start) {
  if (!r.Written || start == RunStart{} || r.Path.size() <= logName.size()) return;
  // The log file's folder with its separator, as the system's WriteLogFile joined them.
  const std::string base = r.Path.substr(0, r.Path.size() - logName.size());
  const std::string dir = base + kLogHistorySubdirectory;
  const std::string name = HistoryFileName(logName, start);
  std::string why;
  {
    const HistoryFolder folder(dir);
    why = folder.Error();
    if (why.empty()) {
      LogFileResult copy;
      copy.Path = dir + base.back() + name;
      ReplaceLogFile(copy, dir, content);
      why = copy.Error;
      for (const std::string& old : HistoryToRemove(folder.OwnFiles(), name, kLogHistoryKept)) {
        std::string failed;
        if (!folder.Remove(old, &failed) && why.empty()) why = failed;
      }
    }
  }
  if (why.empty()) return;
  if (!r.Note.empty()) r.Note += "; ";
  r.Note += "The log's copy in its history folder failed: " + why;
}

}  // namespace app
