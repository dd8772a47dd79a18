// The payload locator for Windows executables (PE32+). Reads the headers by their documented offsets, so it
// needs no system header and works on any copy of the file.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

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

// The version resource (what Explorer's file properties show): its tree of blocks (VS_VERSIONINFO), each a
// length, a value length (in characters for text), a type (1: text), a UTF-16 key, then its value and its
// children, every part 32-bit aligned from the resource's start.
constexpr size_t kResourceEntry = 2;   // the data directory's resource table
constexpr uint32_t kVersionType = 16;  // RT_VERSION
constexpr uint32_t kSubdirectory = 0x80000000;

struct Block {
  size_t key = 0, end = 0, value = 0, children = 0;  // file offsets
  uint16_t valueLength = 0, type = 0;
};

class VersionResource {
 public:
  VersionResource(std::vector<uint8_t>& b, size_t at, size_t size) : b_(b), base_(at), end_(at + size) {}

  // Calls f(block) for every FileDescription text of every string table.
  template <typename F>
  void ForEachDescription(F f) const {
    Block root;
    if (!Read(base_, end_, &root)) return;
    Children(root, [&](const Block& info) {
      if (!KeyIs(info, "StringFileInfo")) return;
      Children(info, [&](const Block& table) {
        Children(table, [&](const Block& text) {
          if (KeyIs(text, "FileDescription") && text.type == 1) f(text);
        });
      });
    });
  }

 private:
  size_t Align(size_t at) const { return base_ + ((at - base_ + 3) & ~size_t{3}); }

  bool KeyIs(const Block& k, const char* key) const {
    size_t p = k.key;
    for (; *key; ++key, p += 2) {
      if (U16(&b_[p]) != static_cast<uint8_t>(*key)) return false;
    }
    return U16(&b_[p]) == 0;
  }

  bool Read(size_t at, size_t limit, Block* k) const {
    if (at + 6 > limit || U16(&b_[at]) < 6 || at + U16(&b_[at]) > limit) return false;
    k->end = at + U16(&b_[at]);
    k->valueLength = U16(&b_[at + 2]);
    k->type = U16(&b_[at + 4]);
    k->key = at + 6;
    size_t p = k->key;
    while (p + 2 <= k->end && U16(&b_[p]) != 0) p += 2;
    if (p + 2 > k->end) return false;
    k->value = std::min(Align(p + 2), k->end);
    const size_t valueBytes = k->type == 1 ? 2 * size_t{k->valueLength} : k->valueLength;
    if (valueBytes > k->end - k->value) return false;
    k->children = std::min(Align(k->value + valueBytes), k->end);
    return true;
  }

  // A block's children, up to the first that is not one.
  template <typename F>
  void Children(const Block& parent, F f) const {
    Block c;
    for (size_t at = parent.children; at < parent.end && Read(at, parent.end, &c); at = Align(c.end)) f(c);
  }

  std::vector<uint8_t>& b_;
  size_t base_, end_;
};

// Where the version resource's bytes lie in the file, found through the resource table (type, name and
// language: the first of each); false when there is none or it is not whole in one section's file bytes.
bool FindVersionResource(const std::vector<uint8_t>& b, size_t* at, size_t* size) {
  const uint8_t* coff = b.data() + U32(b.data() + 0x3C) + 4;
  const size_t optional = static_cast<size_t>(coff - b.data()) + kCoffHeaderSize;
  const uint16_t optionalSize = U16(coff + 16);
  const size_t entry = optional + kOptionalDirectories + kResourceEntry * 8;
  if (optionalSize < entry + 8 - optional) return false;
  // The file offset of `count` bytes at a relative virtual address, all in one section's file bytes.
  auto fileOffset = [&](uint32_t rva, uint32_t count, size_t* offset) {
    for (uint16_t i = 0; i < U16(coff + 2); ++i) {
      const Section s = LoadSection(b.data() + optional + optionalSize + size_t{i} * kSectionHeaderSize);
      if (rva >= s.virtualAddress && uint64_t{rva} + count <= uint64_t{s.virtualAddress} + s.rawSize &&
          Fits(uint64_t{s.rawOffset} + (rva - s.virtualAddress), count, 1, b.size())) {
        *offset = s.rawOffset + (rva - s.virtualAddress);
        return true;
      }
    }
    return false;
  };
  const uint32_t tableSize = U32(&b[entry + 4]);
  size_t table = 0;
  if (tableSize == 0 || !fileOffset(U32(&b[entry]), tableSize, &table)) return false;
  // The entry of a directory (at `dir` from the table's start) with the given id, or its first for -1.
  auto child = [&](uint32_t dir, int64_t id, uint32_t* target) {
    if (uint64_t{dir} + 16 > tableSize) return false;
    const size_t count = size_t{U16(&b[table + dir + 12])} + U16(&b[table + dir + 14]);
    for (size_t i = 0; i < count && uint64_t{dir} + 16 + 8 * (i + 1) <= tableSize; ++i) {
      const uint8_t* e = &b[table + dir + 16 + 8 * i];
      if (id < 0 || U32(e) == id) {
        *target = U32(e + 4);
        return true;
      }
    }
    return false;
  };
  uint32_t name = 0, language = 0, data = 0;
  if (!child(0, kVersionType, &name) || !(name & kSubdirectory) ||
      !child(name & ~kSubdirectory, -1, &language) || !(language & kSubdirectory) ||
      !child(language & ~kSubdirectory, -1, &data) || (data & kSubdirectory) ||
      uint64_t{data} + 16 > tableSize) {
    return false;
  }
  const uint32_t count = U32(&b[table + data + 4]);
  *size = count;
  return fileOffset(U32(&b[table + data]), count, at);
}

// The copy's FileDescription says what it carries, after the name the program gives itself (the text before
// an earlier copy's ": "). Written in place over the characters the resource reserves, NULs after it, so no
// length or offset changes; where the text would not fit, the name alone, never an earlier copy's words.
void Describe(std::vector<uint8_t>* image, const std::string& carries) {
  size_t at = 0, size = 0;
  if (carries.empty() || !FindVersionResource(*image, &at, &size)) return;
  std::vector<uint8_t>& b = *image;
  VersionResource(b, at, size).ForEachDescription([&](const Block& text) {
    auto c = [&](size_t i) { return U16(&b[text.value + 2 * i]); };
    size_t name = 0;
    while (name < text.valueLength && c(name) != 0 &&
           !(c(name) == ':' && name + 1 < text.valueLength && c(name + 1) == ' ')) {
      ++name;
    }
    while (name > 0 && c(name - 1) == ' ') --name;
    const std::string rest = name + 2 + carries.size() < text.valueLength ? ": " + carries : "";
    for (size_t i = name; i < text.valueLength; ++i) {
      b[text.value + 2 * i] = i - name < rest.size() ? static_cast<uint8_t>(rest[i - name]) : 0;
      b[text.value + 2 * i + 1] = 0;
    }
  });
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

void FinishCopy(std::vector<uint8_t>* image, const std::string& carries) {
  Describe(image, carries);
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
