#include "app/core/LogFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/core/LogHistory.h"
#include "app/core/Texts.h"

namespace app {

namespace {

std::string Reason(const std::string& what, int err) {
  return what + ": " + std::strerror(err);
}

// mkdir -p with 0700 for what it creates; an existing directory is used as it is.
bool MakeDirectories(const std::string& dir, std::string* error) {
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    *error = Reason(dir, ENOTDIR);
    return false;
  }
  const size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (!MakeDirectories(dir.substr(0, slash), error)) return false;
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = Reason("cannot create " + dir, errno);
    return false;
  }
  return true;
}

}  // namespace

std::string LogDirectory(const char* logDir, const char* xdgStateHome, const char* home) {
  if (logDir && *logDir) return logDir;
  if (xdgStateHome && xdgStateHome[0] == '/') return std::string(xdgStateHome) + "/" + kLogSubdirectory;
  if (home && *home) return std::string(home) + "/.local/state/" + kLogSubdirectory;
  return {};
}

std::string LogDirectoryFromEnvironment() {
  const char* home = std::getenv("HOME");
  std::string pwHome;
  if (!home || !*home) {
    if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir) pwHome = pw->pw_dir;
    home = pwHome.c_str();
  }
  return LogDirectory(std::getenv(kLogDirVariable), std::getenv("XDG_STATE_HOME"), home);
}

LogFileResult WriteLogFile(const std::string& dir, const std::string& name, const std::string& content,
                           RunStart start) {
  LogFileResult r;
  if (dir.empty()) {
    r.Error = "no directory for the log file (neither BRAE_LOG_DIR nor HOME is set)";
    return r;
  }
  r.Path = dir + "/" + name;
  if (!MakeDirectories(dir, &r.Error)) return r;

  ReplaceLogFile(r, dir, content);
  KeepInHistory(r, name, content, start);
  return r;
}

LocalTime ToLocalTime(RunStart start) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(start.time_since_epoch()).count();
  const time_t seconds = static_cast<time_t>(ms / 1000);
  tm t{};
  localtime_r(&seconds, &t);
  return {t.tm_year + 1900,           t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
          static_cast<int>(ms % 1000)};
}

// The folder is opened without following a link, and must be this user's: then no one else can put files
// in it or take its place, and what is removed from it is removed from this folder.
HistoryFolder::HistoryFolder(const std::string& dir) : dir_(dir) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    error_ = Reason("cannot create " + dir, errno);
    return;
  }
  fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  if (fd_ < 0) {
    const int err = errno;
    error_ = lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)
                 ? dir + ": is a link, not a folder of its own"
                 : Reason(dir, err);
  } else if (fstat(fd_, &st) != 0) {
    error_ = Reason(dir, errno);
  } else if (st.st_uid != geteuid()) {
    error_ = dir + ": belongs to another user";
  }
}

HistoryFolder::~HistoryFolder() {
  if (fd_ >= 0) close(fd_);
}

std::vector<std::string> HistoryFolder::OwnFiles() const {
  std::vector<std::string> names;
  if (!error_.empty()) return names;
  const int listing = dup(fd_);
  DIR* d = listing >= 0 ? fdopendir(listing) : nullptr;
  if (!d) {
    if (listing >= 0) close(listing);
    return names;
  }
  rewinddir(d);  // the copy shares its position with the folder's descriptor
  while (const dirent* e = readdir(d)) {
    struct stat st {};
    if (fstatat(fd_, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == geteuid())
      names.push_back(e->d_name);
  }
  closedir(d);
  return names;
}

bool HistoryFolder::Remove(const std::string& name, std::string* why) const {
  if (unlinkat(fd_, name.c_str(), 0) == 0 || errno == ENOENT) return true;
  *why = Reason("cannot remove " + dir_ + "/" + name, errno);
  return false;
}

}  // namespace app
