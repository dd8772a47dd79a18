// The rule that turns a payload (a buffer or a file read in order) into a byte count: everything up to and
// including the last byte that is not 0xFF. 0xFF bytes inside the payload count; the trailing run does not.
#pragma once

#include <cstddef>
#include <cstdint>

namespace payload {

// The rule fed one byte at a time, for files.
class SizeCounter {
 public:
  void Add(uint8_t byte) {
    ++seen_;
    if (byte != 0xFF) size_ = seen_;
  }
  uint32_t Size() const { return static_cast<uint32_t>(size_); }
  uint64_t BytesSeen() const { return seen_; }

 private:
  uint64_t seen_ = 0;
  uint64_t size_ = 0;
};

// The rule over bytes in memory.
uint32_t SizeOf(const uint8_t* data, size_t n);

// The firmware size as announced to the indicator: odd sizes gain a byte, and a multiple of the 1000-byte
// block length (0 included) gains two more, so the last block is never a full one.
uint32_t AdjustFirmwareSize(uint32_t size);

}  // namespace payload
