// Payload files on Windows: the UTF-8 path becomes UTF-16 for the wide calls (the narrow ones would take it
// in the ANSI code page and miss every letter outside it).
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>

#include "payload/OsFile.h"
#include "toolkit/win32/Text.h"

namespace payload {

int OpenForReading(const std::string& path) {
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  return ::_wopen(tk::win32::Widen(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

std::string FolderOf(const std::string& path) {
  // A program's path here is the one GetModuleFileNameW gives: the file itself, whole.
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool RegularFileSize(const std::string& path, uint64_t* size) {
  struct _stat64 st;
  if (path.empty() || ::_wstat64(tk::win32::Widen(path).c_str(), &st) != 0 ||
      (st.st_mode & _S_IFMT) != _S_IFREG) {
    return false;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

int IsRegularFile(int fd) {
  struct _stat64 st;
  if (::_fstat64(fd, &st) != 0) return -1;
  return (st.st_mode & _S_IFMT) == _S_IFREG ? 1 : 0;
}

long ReadFromFile(int fd, void* buffer, size_t size) {
  return ::_read(fd, buffer, static_cast<unsigned>(size));
}

int RewindFile(int fd) {
  return ::_lseeki64(fd, 0, SEEK_SET) == 0 ? 0 : -1;
}

void CloseFile(int fd) {
  ::_close(fd);
}

}  // namespace payload
