#include "payload/Buffers.h"

#include "payload/Digest.h"

static_assert(payload::kLoaderBufferSize == 64000);
static_assert(payload::kFirmwareBufferSize == 1048576);
static_assert(payload::kLoaderBufferSize % payload::kRowSize == 0, "the firmware buffer stays row-aligned");

// A 1 MiB initialiser is not something C++ can spell, so the buffers are laid out by the assembler. One
// section of their own keeps them together and lets the builder find them in the executable file.
#if defined(_WIN32)
// PE: an initialised, writable data section ("dw"); COFF symbols carry no type or size.
asm(R"(
  .section .brae_pl, "dw"
  .balign 64
  .globl LoaderBuffer
LoaderBuffer:
  .fill 6, 1, 0x88
  .fill 63994, 1, 0xff
  .globl FirmwareBuffer
FirmwareBuffer:
  .fill 4, 1, 0x55
  .fill 1048572, 1, 0xff
  .section .brae_dg, "dw"
  .balign 64
  .globl DigestRecord
DigestRecord:
  .fill 128, 1, 0
  .text
)");
#else
asm(R"(
  .pushsection .brae_payload, "aw", %progbits
  .balign 64
  .globl LoaderBuffer
  .type LoaderBuffer, %object
  .size LoaderBuffer, 64000
LoaderBuffer:
  .fill 6, 1, 0x88
  .fill 63994, 1, 0xff
  .globl FirmwareBuffer
  .type FirmwareBuffer, %object
  .size FirmwareBuffer, 1048576
FirmwareBuffer:
  .fill 4, 1, 0x55
  .fill 1048572, 1, 0xff
  .popsection
  .pushsection .brae_digest, "aw", %progbits
  .balign 64
  .globl DigestRecord
  .type DigestRecord, %object
  .size DigestRecord, 128
DigestRecord:
  .fill 128, 1, 0
  .popsection
)");
#endif

// Rows of 64 bytes, as the transfers read them.
extern "C" uint8_t LoaderBuffer[payload::kLoaderBufferSize / payload::kRowSize][payload::kRowSize];
extern "C" uint8_t FirmwareBuffer[payload::kFirmwareBufferSize / payload::kRowSize][payload::kRowSize];
// The digest record beside them (payload/Digest.h), in a section of its own: the buffers keep their layout.
extern "C" uint8_t DigestRecord[payload::kDigestRecordSize];
static_assert(payload::kDigestRecordSize == 128, "the assembler blocks above reserve 128 bytes");

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
