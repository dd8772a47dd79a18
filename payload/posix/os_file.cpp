// Payload files on POSIX: a path is bytes, taken as it is.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "payload/OsFile.h"

namespace payload {

int OpenForReading(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

bool RegularFileSize(const std::string& path, uint64_t* size) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

std::string FolderOf(const std::string& path) {
  // A program's path on Linux is the link /proc/self/exe: the folder is the one of the file it names.
  char resolved[PATH_MAX];
  if (path.empty() || ::realpath(path.c_str(), resolved) == nullptr) return {};
  const std::string full = resolved;
  return full.substr(0, full.rfind('/') + 1);
}

int IsRegularFile(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  return S_ISREG(st.st_mode) ? 1 : 0;
}

long ReadFromFile(int fd, void* buffer, size_t size) {
  return static_cast<long>(::read(fd, buffer, size));
}

int RewindFile(int fd) {
  return ::lseek(fd, 0, SEEK_SET) == 0 ? 0 : -1;
}

void CloseFile(int fd) {
  ::close(fd);
}

}  // namespace payload
