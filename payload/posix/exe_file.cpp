#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "payload/ExeFile.h"
#include "payload/PayloadFile.h"

namespace payload {

namespace {

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

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

void WriteBesideAndRename(const std::string& target, const std::vector<uint8_t>& image,
                          uint32_t permissions) {
  std::string base = target.substr(target.rfind('/') + 1);
  std::string temp = DirectoryOf(target) + "/." + base + ".XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) throw IoError(IoMessage(target, "can not create a file beside it", errno));
  int err = 0;
  const char* step = "";
  size_t done = 0;
  while (err == 0 && done < image.size()) {
    ssize_t n = ::write(fd, image.data() + done, image.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      err = errno, step = "write error";
    } else if (n == 0) {
      err = EIO, step = "write error";
    }
  }
  if (err == 0 && ::fchmod(fd, static_cast<mode_t>(permissions)) != 0) {
    err = errno, step = "can not set its permissions";
  }
  if (err == 0 && ::fsync(fd) != 0) err = errno, step = "write error";
  if (::close(fd) != 0 && err == 0) err = errno, step = "write error";
  if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) err = errno, step = "can not put it in place";
  if (err != 0) {
    ::unlink(temp.c_str());
    throw IoError(IoMessage(target, step, err));
  }
}

}  // namespace payload
