// Finding the payload buffers in an executable file, and refusing files where they cannot be trusted.
#include <elf.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstring>

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
