// The two payload buffers carried inside the executable: the loader (S-record text) and the firmware image.
//
// Both live in a writable section of their own in the executable file (kPayloadSectionName), the loader first
// and the firmware directly after it, so the updater builder can find them by that section's position in a
// copy of the file. Shipped empty: the loader buffer starts with six 0x88 bytes, the firmware buffer with
// four 0x55 bytes, and every other byte is 0xFF.
#pragma once

#include <cstddef>
#include <cstdint>

namespace payload {

inline constexpr size_t kRowSize = 64;
inline constexpr size_t kLoaderBufferSize = 1000 * kRowSize;     // 64000
inline constexpr size_t kFirmwareBufferSize = 16384 * kRowSize;  // 1048576

// The section that holds both buffers, exactly kLoaderBufferSize + kFirmwareBufferSize bytes. Section names
// of a Windows executable have at most 8 characters (longer ones survive only unstripped).
#if defined(_WIN32)
inline constexpr char kPayloadSectionName[] = ".brae_pl";
#else
inline constexpr char kPayloadSectionName[] = ".brae_payload";
#endif
inline constexpr size_t kPayloadSectionSize = kLoaderBufferSize + kFirmwareBufferSize;

// Empty markers as the builder sees them; the run-time emptiness tests look at the first four bytes only.
inline constexpr uint8_t kLoaderMarkerByte = 0x88;
inline constexpr size_t kLoaderMarkerLength = 6;
inline constexpr uint8_t kFirmwareMarkerByte = 0x55;
inline constexpr size_t kFirmwareMarkerLength = 4;
inline constexpr size_t kEmptyTestLength = 4;

// The buffers as the running program holds them. The pointers are opaque to the optimiser, so every test of a
// marker and every size is read from memory at run time (a built copy carries other bytes than the compiler
// saw).
const uint8_t* LoaderBytes();
const uint8_t* FirmwareBytes();

// Writable views of the same bytes, for tests and benchmarks that fill the buffers in memory. The program
// itself never changes them.
uint8_t* MutableLoaderBytes();
uint8_t* MutableFirmwareBytes();

// True when the buffer's first four bytes are its marker byte (0x88 for the loader, 0x55 for the firmware).
bool LoaderBufferEmpty();
bool FirmwareBufferEmpty();

// The same test on any bytes (at least four).
bool StartsWithMarker(const uint8_t* bytes, uint8_t marker, size_t length);

}  // namespace payload
