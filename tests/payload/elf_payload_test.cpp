// Finding the payload buffers in an executable file, and refusing files where they cannot be trusted.
#include <elf.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstring>

#include "payload/ElfPayload.h"
#include "tests/payload/test_files.h"

namespace payload {
namespace {

using payload_test::Bytes;

std::string Locate(const Bytes& image, PayloadLocation* where = nullptr) {
  PayloadLocation unused;
  std::string error;
  return LocatePayload(image.data(), image.size(), where ? where : &unused, &error) ? "ok" : error;
}

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

  // Random damage to the ELF header, the program headers and the section headers: a refusal or a place inside
  // the file, never a read beyond it (the sanitizers watch).
  const size_t regions[][2] = {{0, sizeof eh},
                               {eh.e_phoff, eh.e_phnum * sizeof(ElfW(Phdr))},
                               {eh.e_shoff, eh.e_shnum * sizeof(ElfW(Shdr))}};
  uint32_t x = 12345;
  auto next = [&] { return x = x * 1664525u + 1013904223u; };
  int refused = 0;
  for (int round = 0; round < 4000; ++round) {
    const auto& r = regions[next() % 3];
    std::pair<size_t, uint8_t> saved[3];
    for (auto& [at, old] : saved) {
      at = r[0] + next() % r[1];
      old = image[at];
      image[at] = static_cast<uint8_t>(next() >> 24);
    }
    PayloadLocation where;
    if (Locate(image, &where) == "ok") {
      EXPECT_LE(where.FirmwareOffset + kFirmwareBufferSize, image.size());
    } else {
      ++refused;
    }
    for (int k = 2; k >= 0; --k) image[saved[k].first] = saved[k].second;
  }
  EXPECT_GT(refused, 100);
}

}  // namespace
}  // namespace payload
