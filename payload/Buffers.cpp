#include "payload/Buffers.h"

static_assert(payload::kLoaderBufferSize == 64000);
static_assert(payload::kFirmwareBufferSize == 1048576);
static_assert(payload::kLoaderBufferSize % payload::kRowSize == 0, "the firmware buffer stays row-aligned");

// A 1 MiB initialiser is not something C++ can spell, so the buffers are laid out by the assembler. One
// section of their own keeps them together and lets the builder find them in the executable file.
asm(R"(
  .pushsection .brae_payload, "aw", %progbits
  .balign 64
  .globl brae_payload_loader
  .type brae_payload_loader, %object
  .size brae_payload_loader, 64000
brae_payload_loader:
  .fill 6, 1, 0x88
  .fill 63994, 1, 0xff
  .globl brae_payload_firmware
  .type brae_payload_firmware, %object
  .size brae_payload_firmware, 1048576
brae_payload_firmware:
  .fill 4, 1, 0x55
  .fill 1048572, 1, 0xff
  .popsection
)");

extern "C" uint8_t brae_payload_loader[payload::kLoaderBufferSize];
extern "C" uint8_t brae_payload_firmware[payload::kFirmwareBufferSize];

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
  return Opaque(brae_payload_loader);
}
const uint8_t* FirmwareBytes() {
  return Opaque(brae_payload_firmware);
}
uint8_t* MutableLoaderBytes() {
  return Opaque(brae_payload_loader);
}
uint8_t* MutableFirmwareBytes() {
  return Opaque(brae_payload_firmware);
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
