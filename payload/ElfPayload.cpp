#include "payload/ElfPayload.h"

#include <elf.h>
#include <link.h>

#include <cstring>

#include "payload/Buffers.h"
#include "payload/Digest.h"

namespace payload {
namespace {

// The ELF class and byte order of this build; a builder only ever copies an executable of its own kind.
using Ehdr = ElfW(Ehdr);
using Shdr = ElfW(Shdr);
using Phdr = ElfW(Phdr);
constexpr unsigned char kClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
constexpr unsigned char kData = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;

// True when [offset, offset + count * each) lies inside the image, without overflow.
bool Fits(uint64_t offset, uint64_t count, uint64_t each, size_t size) {
  if (offset > size) return false;
  if (each != 0 && count > (size - offset) / each) return false;
  return true;
}

template <typename T>
T Load(const uint8_t* image, uint64_t offset) {
  T value;
  std::memcpy(&value, image + offset, sizeof value);  // the image carries no alignment promise
  return value;
}

bool Fail(std::string* error, const std::string& why) {
  *error = why;
  return false;
}

}  // namespace

bool LocatePayload(const uint8_t* image, size_t size, PayloadLocation* location, std::string* error) {
  if (size < EI_NIDENT || std::memcmp(image, ELFMAG, SELFMAG) != 0) {
    return Fail(error, "not an executable of this system (no ELF header)");
  }
  if (image[EI_CLASS] != kClass || image[EI_DATA] != kData || image[EI_VERSION] != EV_CURRENT) {
    return Fail(error, "an executable of another kind of machine");
  }
  if (size < sizeof(Ehdr)) return Fail(error, "a truncated executable (ELF header)");
  const Ehdr eh = Load<Ehdr>(image, 0);
  if (eh.e_type != ET_EXEC && eh.e_type != ET_DYN) return Fail(error, "not an executable program");

  // Section headers, with the extended numbering used when there are very many sections.
  if (eh.e_shoff == 0 || eh.e_shentsize != sizeof(Shdr) || !Fits(eh.e_shoff, 1, sizeof(Shdr), size)) {
    return Fail(error, "no readable section headers (stripped of them, or damaged)");
  }
  const Shdr first = Load<Shdr>(image, eh.e_shoff);
  uint64_t shnum = eh.e_shnum != 0 ? eh.e_shnum : first.sh_size;
  uint64_t shstrndx = eh.e_shstrndx != SHN_XINDEX ? eh.e_shstrndx : first.sh_link;
  if (!Fits(eh.e_shoff, shnum, sizeof(Shdr), size)) return Fail(error, "damaged section headers");
  auto section = [&](uint64_t i) { return Load<Shdr>(image, eh.e_shoff + i * sizeof(Shdr)); };

  if (shstrndx == SHN_UNDEF || shstrndx >= shnum) return Fail(error, "no section name table");
  const Shdr names = section(shstrndx);
  if (names.sh_type != SHT_STRTAB || !Fits(names.sh_offset, names.sh_size, 1, size)) {
    return Fail(error, "damaged section name table");
  }
  const char* nameTable = reinterpret_cast<const char*>(image + names.sh_offset);
  if (eh.e_phoff == 0 || eh.e_phentsize != sizeof(Phdr) || eh.e_phnum == PN_XNUM ||
      !Fits(eh.e_phoff, eh.e_phnum, sizeof(Phdr), size)) {
    return Fail(error, "damaged program headers");
  }

  // The file offset of the one section called `name`, of `wantedSize` bytes, whose bytes a writable loadable
  // segment maps at its address: the bytes the program reads at run time.
  auto find = [&](const char* name, uint64_t wantedSize, const std::string& missing, const std::string& noun,
                  size_t* offset) {
    const size_t wantedLength = std::strlen(name);
    uint64_t found = 0;
    int matches = 0;
    for (uint64_t i = 1; i < shnum; ++i) {
      const Shdr sh = section(i);
      // The name must end inside the table.
      if (sh.sh_name >= names.sh_size || names.sh_size - sh.sh_name < wantedLength + 1) continue;
      if (std::memcmp(nameTable + sh.sh_name, name, wantedLength + 1) == 0) {
        found = i;
        ++matches;
      }
    }
    if (matches == 0) return Fail(error, missing + " (no section " + name + ")");
    if (matches > 1) return Fail(error, "more than one " + noun);

    const Shdr ps = section(found);
    if (ps.sh_type != SHT_PROGBITS || (ps.sh_flags & (SHF_ALLOC | SHF_WRITE)) != (SHF_ALLOC | SHF_WRITE) ||
        ps.sh_size != wantedSize) {
      return Fail(error, "the " + noun + " has an unexpected type or size");
    }
    if (!Fits(ps.sh_offset, ps.sh_size, 1, size)) return Fail(error, "the " + noun + " lies beyond the file");
    bool mapped = false;
    for (uint64_t i = 0; i < eh.e_phnum && !mapped; ++i) {
      const Phdr ph = Load<Phdr>(image, eh.e_phoff + i * sizeof(Phdr));
      if (ph.p_type != PT_LOAD || ps.sh_addr < ph.p_vaddr) continue;
      const uint64_t delta = ps.sh_addr - ph.p_vaddr;
      mapped = delta <= ph.p_filesz && ph.p_filesz - delta >= ps.sh_size &&
               ph.p_offset <= UINT64_MAX - delta && ph.p_offset + delta == ps.sh_offset &&
               (ph.p_flags & PF_W) != 0;
    }
    if (!mapped) return Fail(error, "the " + noun + " is not loaded from the file as expected");
    *offset = static_cast<size_t>(ps.sh_offset);
    return true;
  };

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

void FinishCopy(std::vector<uint8_t>* /*image*/, const std::string& /*carries*/) {}

}  // namespace payload
