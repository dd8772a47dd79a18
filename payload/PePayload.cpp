// The payload locator for Windows executables (PE32+). Reads the headers by their documented offsets, so it
// needs no system header and works on any copy of the file.
#include <algorithm>
#include <cstring>

#include "payload/Buffers.h"
#include "payload/Digest.h"
#include "payload/ElfPayload.h"

namespace payload {
namespace {

constexpr uint16_t kMachine = sizeof(void*) == 8 ? 0x8664 : 0x014c;        // AMD64, i386
constexpr uint16_t kOptionalMagic = sizeof(void*) == 8 ? 0x020b : 0x010b;  // PE32+, PE32
constexpr uint16_t kExecutableImage = 0x0002;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kOptionalSizeOfImage = 56;  // the same place in PE32 and PE32+
constexpr size_t kOptionalCheckSum = 64;     // likewise
// The data directories, and the certificate table's entry (a file offset and a size) among them.
constexpr size_t kOptionalDirectories = sizeof(void*) == 8 ? 112 : 96;
constexpr size_t kCertificateEntry = 4;
constexpr uint32_t kInitialisedData = 0x00000040;
constexpr uint32_t kUninitialisedData = 0x00000080;
constexpr uint32_t kMemRead = 0x40000000;
constexpr uint32_t kMemWrite = 0x80000000;

struct Section {
  char name[8];
  uint32_t virtualSize, virtualAddress, rawSize, rawOffset, characteristics;
};

// True when [offset, offset + count * each) lies inside the image, without overflow.
bool Fits(uint64_t offset, uint64_t count, uint64_t each, size_t size) {
  if (offset > size) return false;
  if (each != 0 && count > (size - offset) / each) return false;
  return true;
}

// Little-endian fields, whatever the alignment.
uint16_t U16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

Section LoadSection(const uint8_t* p) {
  Section s;
  std::memcpy(s.name, p, sizeof s.name);
  s.virtualSize = U32(p + 8);
  s.virtualAddress = U32(p + 12);
  s.rawSize = U32(p + 16);
  s.rawOffset = U32(p + 20);
  s.characteristics = U32(p + 36);
  return s;
}

// A section name is stored in 8 bytes, padded with NULs; a name of exactly 8 has none.
bool NameIs(const Section& s, const char* wanted) {
  char padded[8] = {};
  std::memcpy(padded, wanted, std::min<size_t>(std::strlen(wanted), sizeof padded));
  return std::memcmp(s.name, padded, sizeof padded) == 0;
}

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The PE checksum: the file's 16-bit words (the checksum field counted as zero) added with their carries
// folded in, plus the file's length.
uint32_t PeCheckSum(const std::vector<uint8_t>& image, size_t field) {
  uint64_t sum = 0;
  for (size_t i = 0; i < image.size(); i += 2) {
    if (i >= field && i < field + 4) continue;
    sum += image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + image.size());
}

bool Fail(std::string* error, const std::string& why) {
  *error = why;
  return false;
}

}  // namespace

bool LocatePayload(const uint8_t* image, size_t size, PayloadLocation* location, std::string* error) {
  static_assert(sizeof kPayloadSectionName - 1 <= 8, "a PE section name has at most 8 characters");
  if (size < 0x40 || image[0] != 'M' || image[1] != 'Z') {
    return Fail(error, "not an executable of this system (no PE header)");
  }
  const uint32_t pe = U32(image + 0x3C);
  if (!Fits(pe, 1, 4 + kCoffHeaderSize, size)) return Fail(error, "a truncated executable (PE header)");
  if (std::memcmp(image + pe, "PE\0\0", 4) != 0)
    return Fail(error, "not an executable of this system (no PE header)");
  const uint8_t* coff = image + pe + 4;
  if (U16(coff) != kMachine) return Fail(error, "an executable of another kind of machine");
  const uint16_t sectionCount = U16(coff + 2);
  const uint16_t optionalSize = U16(coff + 16);
  if (!(U16(coff + 18) & kExecutableImage)) return Fail(error, "not an executable program");

  const uint64_t optional = uint64_t{pe} + 4 + kCoffHeaderSize;
  if (optionalSize < kOptionalSizeOfImage + 4 || !Fits(optional, optionalSize, 1, size)) {
    return Fail(error, "damaged optional header");
  }
  if (U16(image + optional) != kOptionalMagic) return Fail(error, "an executable of another kind of machine");
  const uint32_t imageSize = U32(image + optional + kOptionalSizeOfImage);

  const uint64_t table = optional + optionalSize;
  if (!Fits(table, sectionCount, kSectionHeaderSize, size)) return Fail(error, "damaged section headers");
  auto section = [&](uint64_t i) { return LoadSection(image + table + i * kSectionHeaderSize); };

  // The file offset of the one section called `name`, of `wantedSize` bytes, whose bytes the program loader
  // maps at its address: all of them from the file, inside the image, where no other section is mapped (it
  // fills what lies past a section's file bytes with zeros).
  auto find = [&](const char* name, uint32_t wantedSize, const std::string& missing, const std::string& noun,
                  size_t* offset) {
    uint64_t found = 0;
    int matches = 0;
    for (uint64_t i = 0; i < sectionCount; ++i) {
      if (NameIs(section(i), name)) {
        found = i;
        ++matches;
      }
    }
    if (matches == 0) return Fail(error, missing + " (no section " + name + ")");
    if (matches > 1) return Fail(error, "more than one " + noun);

    const Section ps = section(found);
    if ((ps.characteristics & (kInitialisedData | kMemRead | kMemWrite)) !=
            (kInitialisedData | kMemRead | kMemWrite) ||
        (ps.characteristics & kUninitialisedData) || ps.virtualSize != wantedSize) {
      return Fail(error, "the " + noun + " has an unexpected type or size");
    }
    if (!Fits(ps.rawOffset, ps.rawSize, 1, size)) return Fail(error, "the " + noun + " lies beyond the file");
    bool mapped = ps.rawOffset != 0 && ps.rawSize >= ps.virtualSize &&
                  uint64_t{ps.virtualAddress} + ps.virtualSize <= imageSize;
    for (uint64_t i = 0; i < sectionCount && mapped; ++i) {
      if (i == found) continue;
      const Section s = section(i);
      const uint64_t start = s.virtualAddress, end = start + std::max(s.virtualSize, s.rawSize);
      mapped = end <= ps.virtualAddress || start >= uint64_t{ps.virtualAddress} + ps.virtualSize;
    }
    if (!mapped) return Fail(error, "the " + noun + " is not loaded from the file as expected");
    *offset = ps.rawOffset;
    return true;
  };

  static_assert(sizeof kDigestSectionName - 1 <= 8, "a PE section name has at most 8 characters");
  size_t payloadAt = 0, digestAt = 0;
  if (!find(kPayloadSectionName, kPayloadSectionSize, "the payload buffers are missing", "payload section",
            &payloadAt) ||
      !find(kDigestSectionName, kDigestRecordSize, "the digest record is missing", "digest section",
            &digestAt)) {
    return false;
  }
  location->LoaderOffset = payloadAt;
  location->FirmwareOffset = payloadAt + kLoaderBufferSize;
  location->DigestOffset = digestAt;
  return true;
}

void FinishCopy(std::vector<uint8_t>* image) {
  std::vector<uint8_t>& b = *image;
  const uint8_t* coff = b.data() + U32(b.data() + 0x3C) + 4;
  const size_t optional = static_cast<size_t>(coff - b.data()) + kCoffHeaderSize;
  const uint16_t optionalSize = U16(coff + 16);
  // Where the sections' own bytes end: a table that claims to begin before that is no signature to cut.
  uint64_t sectionsEnd = optional + optionalSize;
  for (uint16_t i = 0; i < U16(coff + 2); ++i) {
    const Section s = LoadSection(b.data() + optional + optionalSize + size_t{i} * kSectionHeaderSize);
    sectionsEnd = std::max<uint64_t>(sectionsEnd, uint64_t{s.rawOffset} + s.rawSize);
  }
  const size_t entry = optional + kOptionalDirectories + kCertificateEntry * 8;
  if (optionalSize >= entry + 8 - optional) {
    const uint32_t at = U32(b.data() + entry), count = U32(b.data() + entry + 4);
    // Signing pads the table to 8 bytes. Anything else stays, as bytes nothing points at.
    if (count != 0 && at >= sectionsEnd && Fits(at, count, 1, b.size()) &&
        uint64_t{at} + count + 8 > b.size()) {
      b.resize(at);
    }
    Put32(b.data() + entry, 0);
    Put32(b.data() + entry + 4, 0);
  }
  Put32(b.data() + optional + kOptionalCheckSum, PeCheckSum(b, optional + kOptionalCheckSum));
}

}  // namespace payload
