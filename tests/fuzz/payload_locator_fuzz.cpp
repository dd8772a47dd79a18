// libFuzzer target: the payload locator reading damaged executables.
// A well-formed executable is built once: headers, a text and a data section (the data holding runs of
// marker bytes), the payload section with filled buffers, the digest record beside it, and a section name
// table. Input: one flag byte
// (bit 0: cut the file to the length in the next four bytes), then (offset low, offset high, value)
// triples written into the first 4096 bytes, where every header lies.
#include <elf.h>
#include <link.h>
#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "payload/Buffers.h"
#include "payload/Digest.h"
#include "payload/ElfPayload.h"

namespace {

using Ehdr = ElfW(Ehdr);
using Phdr = ElfW(Phdr);
using Shdr = ElfW(Shdr);

constexpr size_t kHeaderArea = 4096;
constexpr size_t kPhOff = sizeof(Ehdr);
constexpr size_t kPhNum = 2;
constexpr size_t kTextOff = 512, kTextSize = 256;
constexpr size_t kDataOff = 1024, kDataSize = 512;
constexpr size_t kShOff = 2048;
constexpr size_t kShNum = 6;  // null, .text, .data, payload, names, digest
constexpr size_t kPayloadIndex = 3, kNamesIndex = 4, kDigestIndex = 5;
constexpr size_t kNamesOff = 2560;
constexpr char kNames[] =
    "\0.text\0.data\0.brae_payload\0.shstrtab\0.brae_digest";  // offsets 1, 7, 13, 27, 37
constexpr size_t kDigestNameAt = 37;
static_assert(std::string_view(kNames + kDigestNameAt) == payload::kDigestSectionName);
constexpr size_t kPayloadOff = kHeaderArea;
constexpr uint64_t kPayloadAddr = 0x600000;

struct Template {
  std::vector<uint8_t> bytes;
  // The bytes the locator may rely on: a change anywhere else must not move what it finds.
  std::vector<bool> describes;

  Template() : bytes(kHeaderArea + payload::kPayloadSectionSize + 4096, 0), describes(kHeaderArea, false) {
    Ehdr eh{};
    std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
    eh.e_ident[EI_DATA] = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_type = ET_DYN;
    eh.e_version = EV_CURRENT;
    eh.e_phoff = kPhOff;
    eh.e_shoff = kShOff;
    eh.e_ehsize = sizeof(Ehdr);
    eh.e_phentsize = sizeof(Phdr);
    eh.e_phnum = kPhNum;
    eh.e_shentsize = sizeof(Shdr);
    eh.e_shnum = kShNum;
    eh.e_shstrndx = kNamesIndex;
    Put(0, eh, true);

    Phdr text{};
    text.p_type = PT_LOAD;
    text.p_flags = PF_R | PF_X;
    text.p_filesz = text.p_memsz = kHeaderArea;
    Put(kPhOff, text, true);
    Phdr data{};
    data.p_type = PT_LOAD;
    data.p_flags = PF_R | PF_W;
    data.p_offset = kPayloadOff;
    data.p_vaddr = data.p_paddr = kPayloadAddr;
    data.p_filesz = data.p_memsz = payload::kPayloadSectionSize + payload::kDigestRecordSize;
    Put(kPhOff + sizeof(Phdr), data, true);

    Section(1, 1, SHT_PROGBITS, SHF_ALLOC | SHF_EXECINSTR, kTextOff, kTextOff, kTextSize, false);
    Section(2, 7, SHT_PROGBITS, SHF_ALLOC | SHF_WRITE, kDataOff, kDataOff, kDataSize, false);
    Section(kPayloadIndex, 13, SHT_PROGBITS, SHF_ALLOC | SHF_WRITE, kPayloadAddr, kPayloadOff,
            payload::kPayloadSectionSize, true);
    Section(kNamesIndex, 27, SHT_STRTAB, 0, 0, kNamesOff, sizeof kNames, true);
    Section(kDigestIndex, kDigestNameAt, SHT_PROGBITS, SHF_ALLOC | SHF_WRITE,
            kPayloadAddr + payload::kPayloadSectionSize, kPayloadOff + payload::kPayloadSectionSize,
            payload::kDigestRecordSize, true);
    std::memcpy(&bytes[kNamesOff], kNames, sizeof kNames);
    Mark(kNamesOff, sizeof kNames);
    Mark(kShOff, sizeof(Shdr));  // the null section carries the counts of the extended numbering

    // Marker runs where a search would find them, and filled buffers where they really are.
    for (size_t i = 0; i < kTextSize; ++i) bytes[kTextOff + i] = static_cast<uint8_t>(i * 7);
    std::memset(&bytes[kDataOff], payload::kLoaderMarkerByte, 16);
    std::memset(&bytes[kDataOff + 64], payload::kFirmwareMarkerByte, 16);
    std::memset(&bytes[kPayloadOff], 0x11, payload::kPayloadSectionSize);
  }

  template <typename T>
  void Put(size_t at, const T& value, bool describing) {
    std::memcpy(&bytes[at], &value, sizeof value);
    if (describing) Mark(at, sizeof value);
  }
  void Mark(size_t at, size_t n) {
    for (size_t i = 0; i < n; ++i) describes[at + i] = true;
  }
  void Section(size_t index, uint32_t name, uint32_t type, uint64_t flags, uint64_t addr, uint64_t offset,
               uint64_t size, bool describing) {
    Shdr sh{};
    sh.sh_name = name;
    sh.sh_type = type;
    sh.sh_flags = flags;
    sh.sh_addr = addr;
    sh.sh_offset = offset;
    sh.sh_size = size;
    sh.sh_addralign = 1;
    Put(kShOff + index * sizeof(Shdr), sh, describing);
  }
};

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Template original;
  static std::vector<uint8_t> image = original.bytes;
  std::memcpy(image.data(), original.bytes.data(), kHeaderArea);

  size_t length = image.size();
  size_t i = 0;
  const uint8_t flags = size > 0 ? data[i++] : 0;
  bool cut = false;
  if ((flags & 1) && size >= i + 4) {
    uint32_t want;
    std::memcpy(&want, data + i, 4);
    i += 4;
    length = want % (image.size() + 1);
    cut = length != image.size();
  }
  bool describingChanged = false, headersTouched = false;
  for (; i + 3 <= size; i += 3) {
    const size_t at = (data[i] | data[i + 1] << 8) % kHeaderArea;
    if (image[at] == data[i + 2]) continue;
    image[at] = data[i + 2];
    describingChanged = describingChanged || original.describes[at];
    headersTouched =
        headersTouched || original.describes[at] || (at >= kShOff && at < kShOff + kShNum * sizeof(Shdr));
  }

  // The locator is given `length` bytes: the rest is poisoned, so the sanitizer sees any read beyond.
  ASAN_POISON_MEMORY_REGION(image.data() + length, image.size() - length);
  payload::PayloadLocation where;
  std::string why;
  const bool found = payload::LocatePayload(image.data(), length, &where, &why);
  ASAN_UNPOISON_MEMORY_REGION(image.data() + length, image.size() - length);
  if (found) {
    Check(where.FirmwareOffset == where.LoaderOffset + payload::kLoaderBufferSize);
    Check(where.LoaderOffset <= length && length - where.LoaderOffset >= payload::kPayloadSectionSize);
    // Only the headers can say where the buffers are: marker runs and other bytes never move them.
    Check(describingChanged || cut || where.LoaderOffset == kPayloadOff);
  } else {
    Check(!why.empty());
    // Untouched headers describe a sound file: it must be found.
    Check(headersTouched || cut);
  }
  return 0;
}
