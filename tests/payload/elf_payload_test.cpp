// Finding the payload buffers in an executable file, and refusing files where they cannot be trusted.
#include <elf.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstddef>
#include <cstring>

#include "payload/Digest.h"
#include "payload/ElfPayload.h"
#include "tests/payload/locate.h"
#include "tests/payload/test_files.h"

namespace payload {
namespace {

using payload_test::Bytes;
using payload_test::Locate;

TEST(PayloadElf, FindsTheBytesTheRunningProgramReads) {
  PayloadLocation where;
  ASSERT_EQ(Locate(payload_test::ReadFile("/proc/self/exe"), &where), "ok");
  EXPECT_EQ(static_cast<long>(where.LoaderOffset), payload_test::SelfLoaderOffset());
  EXPECT_EQ(where.FirmwareOffset, where.LoaderOffset + kLoaderBufferSize);
  // The digest record: the bytes the running program reads as its record.
  const long record = payload_test::SelfFileOffset(DigestRecordBytes());
  ASSERT_GT(record, 0);
  EXPECT_EQ(where.DigestOffset, static_cast<size_t>(record));
}

TEST(PayloadElf, TheDigestRecordIsFoundLikeTheBuffers) {
  const Bytes image = payload_test::ReadFile("/proc/self/exe");
  PayloadLocation where;
  ASSERT_EQ(Locate(image, &where), "ok");
  ElfW(Ehdr) eh;
  std::memcpy(&eh, image.data(), sizeof eh);
  // The record's section header: the one whose file offset is the record's.
  size_t header = 0;
  for (size_t i = 0; i < eh.e_shnum; ++i) {
    ElfW(Shdr) sh;
    std::memcpy(&sh, image.data() + eh.e_shoff + i * sizeof sh, sizeof sh);
    if (sh.sh_offset == where.DigestOffset && sh.sh_size == kDigestRecordSize)
      header = eh.e_shoff + i * sizeof sh;
  }
  ASSERT_NE(header, 0u);
  const struct {
    const char* what;
    size_t field, size;
    uint64_t value;
    std::string expected;
  } cases[] = {
      {"another size", offsetof(ElfW(Shdr), sh_size), 8, kDigestRecordSize + 1,
       "the digest section has an unexpected type or size"},
      {"read-only", offsetof(ElfW(Shdr), sh_flags), 8, SHF_ALLOC,
       "the digest section has an unexpected type or size"},
      {"zero-filled", offsetof(ElfW(Shdr), sh_type), 4, SHT_NOBITS,
       "the digest section has an unexpected type or size"},
      {"beyond the file", offsetof(ElfW(Shdr), sh_offset), 8, image.size() - 8,
       "the digest section lies beyond the file"},
      {"not where it is loaded from", offsetof(ElfW(Shdr), sh_addr), 8, 64,
       "the digest section is not loaded from the file as expected"},
  };
  for (const auto& c : cases) {
    Bytes damaged = image;
    std::memcpy(damaged.data() + header + c.field, &c.value, c.size);
    EXPECT_EQ(Locate(damaged), c.expected) << c.what;
  }
}

TEST(PayloadElf, RefusesWhatItCannotTrustAndNeverReadsOutsideTheFile) {
  Bytes image = payload_test::ReadFile("/proc/self/exe");
  ElfW(Ehdr) eh;
  std::memcpy(&eh, image.data(), sizeof eh);
  EXPECT_EQ(Locate(payload_test::Pattern(4096)), "not an executable of this system (no ELF header)");
  EXPECT_EQ(Locate(Bytes(image.begin(), image.begin() + 20)), "a truncated executable (ELF header)");
  EXPECT_EQ(Locate(Bytes(image.begin(), image.end() - 1)), "damaged section headers");
  EXPECT_EQ(Locate(payload_test::ReadFile("/bin/sh")),
            "the payload buffers are missing (no section .brae_payload)");
  Bytes foreign = image;
  foreign[EI_CLASS] = ELFCLASS32;
  EXPECT_EQ(Locate(foreign), "an executable of another kind of machine");

  // Random damage to the ELF header, the program headers and the section headers.
  const payload_test::Region regions[] = {{0, sizeof eh},
                                          {eh.e_phoff, eh.e_phnum * sizeof(ElfW(Phdr))},
                                          {eh.e_shoff, eh.e_shnum * sizeof(ElfW(Shdr))}};
  EXPECT_GT(payload_test::DamageAtRandom(image, regions), 100);
}

}  // namespace
}  // namespace payload
