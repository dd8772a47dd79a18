#include "payload/Digest.h"

#include <algorithm>
#include <cstring>

#include "payload/Buffers.h"
#include "payload/SizeRule.h"

namespace payload {
namespace {

uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void StoreLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// What an entry records: kNone (all zeros), kDamagedRecord (not a valid entry for a buffer of bufferSize
// bytes), else kMatch with the recorded length and digest.
DigestCheck::State ReadEntry(const uint8_t* entry, size_t bufferSize, uint32_t* length, Sha256* digest) {
  if (std::all_of(entry, entry + kDigestEntrySize, [](uint8_t b) { return b == 0; }))
    return DigestCheck::kNone;
  *length = LoadLe32(entry + 8);
  const bool zeros = LoadLe32(entry + 12) == 0 &&
                     std::all_of(entry + 48, entry + kDigestEntrySize, [](uint8_t b) { return b == 0; });
  if (std::memcmp(entry, kDigestTag, sizeof kDigestTag) != 0 || !zeros || *length == 0 ||
      *length > bufferSize)
    return DigestCheck::kDamagedRecord;
  std::memcpy(digest->data(), entry + 16, digest->size());
  return DigestCheck::kMatch;
}

}  // namespace

std::string HexOf(const Sha256& digest, size_t digits) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : digest) {
    text += kHex[b >> 4];
    text += kHex[b & 15];
  }
  text.resize(std::min(digits, text.size()));
  return text;
}

void WriteDigestEntry(uint8_t* entry, const uint8_t* bytes, size_t n) {
  std::memset(entry, 0, kDigestEntrySize);
  std::memcpy(entry, kDigestTag, sizeof kDigestTag);
  StoreLe32(entry + 8, static_cast<uint32_t>(n));
  const Sha256 digest = Sha256Of(bytes, n);
  std::memcpy(entry + 16, digest.data(), digest.size());
}

DigestCheck CheckDigest(const uint8_t* buffer, size_t bufferSize, const uint8_t* entry) {
  DigestCheck c;
  // Up to the last byte that is not 0xFF: what the size rule would measure, and so send.
  const uint32_t measured = SizeOf(buffer, bufferSize);
  uint32_t length = 0;
  c.state = ReadEntry(entry, bufferSize, &length, &c.Expected);
  if (c.state != DigestCheck::kMatch) {
    c.Length = measured;
    c.Actual = Sha256Of(buffer, measured);
    return c;
  }
  // The recorded payload may itself end in 0xFF bytes; a byte past it that is not 0xFF widens the view.
  c.Length = std::max(length, measured);
  c.Actual = Sha256Of(buffer, c.Length);
  c.state = c.Length == length && c.Actual == c.Expected ? DigestCheck::kMatch : DigestCheck::kMismatch;
  return c;
}

DigestCheck CheckExactDigest(const uint8_t* bytes, size_t n, size_t bufferSize, const uint8_t* entry) {
  DigestCheck c;
  uint32_t length = 0;
  c.state = ReadEntry(entry, bufferSize, &length, &c.Expected);
  c.Length = static_cast<uint32_t>(n);
  c.Actual = Sha256Of(bytes, n);
  if (c.state == DigestCheck::kMatch && (length != n || c.Actual != c.Expected))
    c.state = DigestCheck::kMismatch;
  return c;
}

DigestCheck CheckEmbeddedLoader() {
  return CheckDigest(LoaderBytes(), kLoaderBufferSize, DigestRecordBytes() + kLoaderDigestEntry);
}

DigestCheck CheckEmbeddedFirmware() {
  return CheckDigest(FirmwareBytes(), kFirmwareBufferSize, DigestRecordBytes() + kFirmwareDigestEntry);
}

std::string DigestRefusal(const DigestCheck& check, const std::string& kind, const std::string& carrier) {
  const std::string damaged = ": this copy is damaged; build or download it again.\r\n";
  const std::string actual = "Actual:   " + HexOf(check.Actual);
  switch (check.state) {
    case DigestCheck::kNone:
    case DigestCheck::kMatch:
      return "";
    case DigestCheck::kMismatch:
      return "The " + kind + " carried in this " + carrier +
             " does not match the SHA-256 recorded when it was built" + damaged +
             "Expected: " + HexOf(check.Expected) + "\r\n" + actual;
    case DigestCheck::kDamagedRecord:
      return "The SHA-256 record of the " + kind + " carried in this " + carrier + " is damaged" + damaged +
             "Expected: (unreadable)\r\n" + actual;
  }
  return "";
}

}  // namespace payload
