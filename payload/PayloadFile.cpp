#include "payload/PayloadFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "payload/OsFile.h"

namespace payload {

std::string IoMessage(const std::string& path, int err) {
  return (path.empty() ? std::string("(no file name)") : path) + ": " + std::strerror(err);
}

std::string IoMessage(const std::string& path, const std::string& what, int err) {
  return (path.empty() ? std::string("(no file name)") : path) + ": " + what + ": " + std::strerror(err);
}

PayloadFile::PayloadFile() = default;

PayloadFile::~PayloadFile() {
  Close();
}

PayloadFile::PayloadFile(PayloadFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      buffer_(std::move(other.buffer_)),
      pos_(std::exchange(other.pos_, 0)),
      len_(std::exchange(other.len_, 0)) {}

PayloadFile& PayloadFile::operator=(PayloadFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    std::swap(buffer_, other.buffer_);
    pos_ = std::exchange(other.pos_, 0);
    len_ = std::exchange(other.len_, 0);
  }
  return *this;
}

bool PayloadFile::Exists(const std::string& path) {
  uint64_t size = 0;
  return RegularFileSize(path, &size);
}

void PayloadFile::Open(const std::string& path) {
  Close();
  int fd = OpenForReading(path);
  if (fd < 0) throw IoError(IoMessage(path, errno));
  const int regular = IsRegularFile(fd);
  if (regular < 0) {
    int err = errno;
    CloseFile(fd);
    throw IoError(IoMessage(path, err));
  }
  if (regular == 0) {
    CloseFile(fd);
    throw IoError((path.empty() ? std::string("(no file name)") : path) + ": not a regular file");
  }
  if (!buffer_) buffer_.reset(new uint8_t[kBufferSize]);
  fd_ = fd;
  path_ = path;
  pos_ = len_ = 0;
}

bool PayloadFile::Refill() {
  if (fd_ < 0) throw IoError(IoMessage(path_, "read", EBADF));
  pos_ = len_ = 0;
  for (;;) {
    const long n = ReadFromFile(fd_, buffer_.get(), kBufferSize);
    if (n > 0) {
      len_ = static_cast<size_t>(n);
      return true;
    }
    if (n == 0) return false;
    if (errno != EINTR) throw IoError(IoMessage(path_, "read error", errno));
  }
}

size_t PayloadFile::Read(uint8_t* dst, size_t n) {
  size_t done = 0;
  while (done < n) {
    if (pos_ == len_ && !Refill()) break;
    size_t take = std::min(n - done, len_ - pos_);
    std::memcpy(dst + done, buffer_.get() + pos_, take);
    pos_ += take;
    done += take;
  }
  return done;
}

void PayloadFile::Rewind() {
  if (fd_ < 0) throw IoError(IoMessage(path_, "rewind", EBADF));
  if (RewindFile(fd_) != 0) throw IoError(IoMessage(path_, "rewind", errno));
  pos_ = len_ = 0;
}

void PayloadFile::Close() {
  if (fd_ >= 0) CloseFile(fd_);
  fd_ = -1;
  pos_ = len_ = 0;
}

}  // namespace payload
