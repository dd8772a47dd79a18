#include "app/core/LogFile.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

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

bool WriteAll(int fd, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
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

LogFileResult WriteLogFile(const std::string& dir, const std::string& name, const std::string& content) {
  LogFileResult r;
  if (dir.empty()) {
    r.Error = "no directory for the log file (neither BRAE_LOG_DIR nor HOME is set)";
    return r;
  }
  r.Path = dir + "/" + name;
  if (!MakeDirectories(dir, &r.Error)) return r;

  const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    r.Error = Reason(dir, errno);
    return r;
  }
  // Whatever holds the name now must be ours: replacing it must never destroy another user's file, even in a
  // directory that others can write to.
  struct stat st {};
  if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_uid != geteuid()) {
    close(dirFd);
    r.Error = r.Path + ": belongs to another user";
    return r;
  }

  std::random_device random;
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temp = "." + name + "." + std::to_string(random() % 1000000000u);
    fd = openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    r.Error = Reason("cannot create a file in " + dir, errno);
    close(dirFd);
    return r;
  }
  bool ok = WriteAll(fd, content);
  int err = errno;
  if (ok && fsync(fd) != 0) {
    ok = false;
    err = errno;
  }
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlinkat(dirFd, temp.c_str(), 0);
    r.Error = Reason(r.Path, err);
  }
  close(dirFd);
  r.Written = ok;
  return r;
}

}  // namespace app
