// A payload file (firmware image or S-record loader), read-only and buffered, read in pieces or a byte at a
// time. Used on one thread at a time (the UI thread); not synchronised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace payload {

// A payload file or an executable that cannot be opened, read or written. The message names the file and the
// reason, e.g. "firmware.bin: Permission denied".
class IoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "path: reason" from an errno value; an empty path is shown as "(no file name)".
std::string IoMessage(const std::string& path, int err);
std::string IoMessage(const std::string& path, const std::string& what, int err);

// ": fw.bin: No such file or directory": which file, and why it does not open (": no file was named").
std::string WhyNotOpen(const std::string& path);

class PayloadFile {
 public:
  static constexpr size_t kBufferSize = 64 * 1024;

  PayloadFile();
  ~PayloadFile();
  PayloadFile(const PayloadFile&) = delete;
  PayloadFile& operator=(const PayloadFile&) = delete;
  PayloadFile(PayloadFile&& other) noexcept;
  PayloadFile& operator=(PayloadFile&& other) noexcept;

  // True for an existing regular file (following links); false for an empty path, a directory, a device.
  static bool Exists(const std::string& path);

  // Opens the file read-only at its first byte, closing any file open before. Throws IoError, also for a path
  // that is not a regular file (a FIFO or a device could block the read or never end).
  void Open(const std::string& path);

  // Stores the next byte and returns 1, or returns 0 at the end of the file. Throws IoError on a read error
  // or when no file is open.
  int ReadByte(uint8_t* byte) {
    if (pos_ < len_) {
      *byte = buffer_[pos_++];
      return 1;
    }
    return Refill() ? ReadByte(byte) : 0;
  }

  // Up to n bytes into dst; returns how many, fewer than n only at the end of the file. Throws like ReadByte.
  size_t Read(uint8_t* dst, size_t n);

  // Back to the first byte. Throws IoError.
  void Rewind();

  // Closes the file; errors are ignored. Does nothing when no file is open.
  void Close();

  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }

 private:
  bool Refill();

  int fd_ = -1;
  std::string path_;
  std::unique_ptr<uint8_t[]> buffer_;  // allocated by the first Open
  size_t pos_ = 0;
  size_t len_ = 0;
};

}  // namespace payload
