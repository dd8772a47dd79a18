// SHA-256 of the payloads, and the digest record a built copy carries beside its buffers: the digest of each
// payload the builder placed, so that a copy damaged after its build (a bad copy or download, a flipped bit)
// is refused instead of flashed. The CRC-16 the indicator checks is computed over what is sent and cannot
// tell.
//
// The record lives in a section of its own (kDigestSectionName), found by the builder like the buffers,
// by its position in the executable file. It holds one entry for the loader and one for the firmware, each
// kDigestEntrySize bytes (a multiple of the section's alignment, so no system pads the section):
//   0..7   kDigestTag, "sha-256" and a NUL
//   8..11  the payload's length in bytes, little-endian
//   12..15 zero
//   16..47 the SHA-256 of the payload's bytes
//   48..63 zero
// An entry of zeros records nothing (the shipped program, and copies built before digests were recorded);
// anything else that is not a valid entry counts as damage.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace payload {

using Sha256 = std::array<uint8_t, 32>;

// The digest of n bytes: libgcrypt on Linux, the system's CNG on Windows (payload/<os>/sha256.cpp).
Sha256 Sha256Of(const uint8_t* bytes, size_t n);
// Lower-case hexadecimal: all 64 digits, or the first `digits`.
std::string HexOf(const Sha256& digest, size_t digits = 64);

inline constexpr size_t kDigestEntrySize = 64;
inline constexpr size_t kDigestRecordSize = 2 * kDigestEntrySize;
inline constexpr size_t kLoaderDigestEntry = 0;
inline constexpr size_t kFirmwareDigestEntry = kDigestEntrySize;
inline constexpr char kDigestTag[8] = {'s', 'h', 'a', '-', '2', '5', '6', '\0'};

#if defined(_WIN32)
inline constexpr char kDigestSectionName[] = ".brae_dg";  // PE section names have at most 8 characters
#else
inline constexpr char kDigestSectionName[] = ".brae_digest";
#endif

// The record as the running program holds it (read at run time, like the buffers), and a writable view for
// tests.
const uint8_t* DigestRecordBytes();
uint8_t* MutableDigestRecordBytes();

// Writes the entry for a payload of n bytes at `entry`.
void WriteDigestEntry(uint8_t* entry, const uint8_t* bytes, size_t n);

// A payload buffer checked against its entry.
struct DigestCheck {
  enum State {
    kNone,           // the entry records nothing: a copy built before digests were recorded
    kMatch,          // the buffer holds the recorded bytes, and 0xFF after them
    kMismatch,       // it does not
    kDamagedRecord,  // the entry itself is damaged
  };
  State state = kNone;
  Sha256 Expected{};    // kMatch, kMismatch: the recorded digest
  Sha256 Actual{};      // what the buffer holds: the recorded length, or up to its last byte that is not 0xFF
  uint32_t Length = 0;  // the bytes Actual covers
};

// Checks `buffer` (bufferSize bytes) against the entry at `entry`. A byte that is not 0xFF after the recorded
// length is a mismatch too: the size rule would send it.
DigestCheck CheckDigest(const uint8_t* buffer, size_t bufferSize, const uint8_t* entry);
// The same for a payload of exactly n bytes with no buffer around it (a web page's): kMatch only for the
// recorded length and digest. The entry is read as one for a buffer of bufferSize bytes.
DigestCheck CheckExactDigest(const uint8_t* bytes, size_t n, size_t bufferSize, const uint8_t* entry);

// The running program's buffers against its record.
DigestCheck CheckEmbeddedLoader();
DigestCheck CheckEmbeddedFirmware();

// For a user: "The firmware carried in this program does not match ...: this copy is damaged; build or
// download it again.", then the expected and the actual digest. `kind` is "firmware" or "loader", `carrier`
// what carries it ("program", "page"). Empty for kNone and kMatch.
std::string DigestRefusal(const DigestCheck& check, const std::string& kind,
                          const std::string& carrier = "program");

}  // namespace payload
