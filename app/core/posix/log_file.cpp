#include "app/core/LogFile.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

LogFileResult WriteLogFile(const std::string& dir, const std::string& name, const std::string& content) {
  LogFileResult r;
  if (dir.empty()) {
    r.Error = "no directory for the log file (neither BRAE_LOG_DIR nor HOME is set)";
    return r;
  }
  r.Path = dir + "/" + name;
  if (!MakeDirectories(dir, &r.Error)) return r;

  ReplaceLogFile(r, dir, content);
  return r;
}

}  // namespace app
