// Executable files on POSIX: the running program through /proc, "same file" by device and inode.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "payload/ExeFile.h"
#include "payload/PayloadFile.h"

namespace payload {

std::string SelfExecutablePath() {
  return "/proc/self/exe";
}

uint32_t ExecutablePermissions(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw IoError(IoMessage(path, errno));
  return st.st_mode & 0777;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw IoError(IoMessage(path, errno));
  std::vector<uint8_t> image;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) image.reserve(static_cast<size_t>(st.st_size));
  // The whole file, whatever its size; the count read is the image length.
  uint8_t chunk[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      image.insert(image.end(), chunk, chunk + n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      int err = errno;
      ::close(fd);
      throw IoError(IoMessage(path, "read error", err));
    }
  }
  ::close(fd);
  return image;
}

}  // namespace payload
