#include "payload/Buffers.h"

#include "payload/Digest.h"

static_assert(payload::kLoaderBufferSize == 64000);
static_assert(payload::kFirmwareBufferSize == 1048576);
static_assert(payload::kLoaderBufferSize % payload::kRowSize == 0, "the firmware buffer stays row-aligned");

// The bytes themselves are laid out by each platform (<os>/buffer_layout.cpp): in sections of their own in an
// executable file, or plain memory in the page.

// Rows of 64 bytes, as the transfers read them.
extern "C" uint8_t LoaderBuffer[payload::kLoaderBufferSize / payload::kRowSize][payload::kRowSize];
extern "C" uint8_t FirmwareBuffer[payload::kFirmwareBufferSize / payload::kRowSize][payload::kRowSize];
// The digest record beside them (payload/Digest.h), in a section of its own: the buffers keep their layout.
extern "C" uint8_t DigestRecord[payload::kDigestRecordSize];
static_assert(payload::kDigestRecordSize == 128, "every layout reserves 128 bytes");

namespace payload {
namespace {

// Hides where the pointer came from, so nothing read through it is folded into a constant.
template <typename T>
T* Opaque(T* p) {
  asm volatile("" : "+r"(p));
  return p;
}

}  // namespace

const uint8_t* LoaderBytes() {
  return Opaque(&LoaderBuffer[0][0]);
}
const uint8_t* FirmwareBytes() {
  return Opaque(&FirmwareBuffer[0][0]);
}
uint8_t* MutableLoaderBytes() {
  return Opaque(&LoaderBuffer[0][0]);
}
uint8_t* MutableFirmwareBytes() {
  return Opaque(&FirmwareBuffer[0][0]);
}
const uint8_t* DigestRecordBytes() {
  return Opaque(&DigestRecord[0]);
}
uint8_t* MutableDigestRecordBytes() {
  return Opaque(&DigestRecord[0]);
}

bool StartsWithMarker(const uint8_t* bytes, uint8_t marker, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] != marker) return false;
  }
  return true;
}

bool LoaderBufferEmpty() {
  return StartsWithMarker(LoaderBytes(), kLoaderMarkerByte, kEmptyTestLength);
}
bool FirmwareBufferEmpty() {
  return StartsWithMarker(FirmwareBytes(), kFirmwareMarkerByte, kEmptyTestLength);
}

}  // namespace payload
