// Writing beside and renaming on POSIX: a new file made exclusively beside the target through a handle on
// its folder, then renamed over it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "toolkit/files/WriteBeside.h"

namespace tk {

namespace {

using Failure = WriteBesideResult::Failure;

WriteBesideResult Failed(Failure failure, int error) {
  WriteBesideResult r;
  r.failure = failure;
  r.error = error;
  return r;
}

bool WriteAll(int fd, const void* data, size_t size, int* error) {
  const auto* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      *error = n < 0 ? errno : EIO;
      return false;
    }
  }
  return true;
}

// Closes the descriptor when the scope ends.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

WriteBesideResult WriteBesideAndRename(const std::string& target, const void* data, size_t size,
                                       FileMode mode) {
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);

  // A path-only handle: the directory needs search and write permission, not read permission.
  Fd dirFd{::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
  if (dirFd.fd < 0) return Failed(Failure::Directory, errno);

  struct stat st {};
  if (::fstatat(dirFd.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_uid != ::geteuid())
    return Failed(Failure::Foreign, EPERM);

  std::random_device random;
  std::string temp;
  Fd file;
  for (int attempt = 0; attempt < 16 && file.fd < 0; ++attempt) {
    temp = "." + name + "." + std::to_string(random() % 1000000000u);
    file.fd = ::openat(dirFd.fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file.fd < 0 && errno != EEXIST) break;
  }
  if (file.fd < 0) return Failed(Failure::Create, errno);

  WriteBesideResult r;
  int err = 0;
  if (!WriteAll(file.fd, data, size, &err)) {
    r = Failed(Failure::Write, err);
  } else if (::fchmod(file.fd, mode & 07777) != 0) {
    r = Failed(Failure::Permissions, errno);
  } else if (::fsync(file.fd) != 0) {
    r = Failed(Failure::Write, errno);
  }
  const int closed = ::close(file.fd);
  const int closeErr = errno;
  file.fd = -1;
  if (r.Ok() && closed != 0) r = Failed(Failure::Write, closeErr);
  if (r.Ok() && ::renameat(dirFd.fd, temp.c_str(), dirFd.fd, name.c_str()) != 0)
    r = Failed(Failure::Rename, errno);
  if (!r.Ok()) ::unlinkat(dirFd.fd, temp.c_str(), 0);
  return r;
}

}  // namespace tk
