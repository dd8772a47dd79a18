// Where the two payloads (the loader and the firmware) come from. The controller picks one source for each
// before the update starts; the engine only rewinds and reads them, whatever they are.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace engine {

// One payload as a stream of bytes. Both calls may throw std::exception (an unreadable file): the engine then
// ends the update with the reason, as retrying cannot mend it.
class IPayloadSource {
 public:
  virtual ~IPayloadSource() = default;
  // Back to the first byte; done before each send of the payload.
  virtual void Rewind() = 0;
  // Up to `max` next bytes into `out`; 0 at the end. A source may deliver fewer than are left: the engine
  // lets the user interface in between reads of the loader, so a slow source keeps the window alive.
  virtual int Read(uint8_t* out, int max) = 0;
};

// A payload in memory (the embedded buffers), read without copying it first.
class BufferPayload : public IPayloadSource {
 public:
  BufferPayload(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}
  void Rewind() override { position_ = 0; }
  int Read(uint8_t* out, int max) override {
    const size_t n = std::min(static_cast<size_t>(std::max(max, 0)), size_ - position_);
    if (n > 0) std::memcpy(out, data_ + position_, n);
    position_ += n;
    return static_cast<int>(n);
  }
  const uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

}  // namespace engine
