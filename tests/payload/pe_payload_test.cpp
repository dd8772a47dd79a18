// Finding the payload buffers in a Windows executable, and refusing files where they cannot be trusted.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "payload/Buffers.h"
#include "payload/Digest.h"
#include "payload/ExeFile.h"
#include "tests/payload/locate.h"
#include "tests/payload/test_files.h"

namespace payload {
namespace {

using payload_test::Bytes;
using payload_test::Locate;

uint32_t Get32(const Bytes& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, sizeof v);
  return v;
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  std::memcpy(b.data() + at, &v, sizeof v);
}
void Put16(Bytes& b, size_t at, uint16_t v) {
  std::memcpy(b.data() + at, &v, sizeof v);
}

// Where the headers of an image lie.
struct Layout {
  size_t pe, coff, optional, table, count, payload;  // payload: the index of the payload section
  explicit Layout(const Bytes& b) {
    pe = Get32(b, 0x3C);
    coff = pe + 4;
    optional = coff + 20;
    table = optional + (b[coff + 16] | b[coff + 17] << 8);
    count = b[coff + 2] | b[coff + 3] << 8;
    payload = count;
    for (size_t i = 0; i < count; ++i) {
      if (std::memcmp(b.data() + Section(i), kPayloadSectionName, sizeof kPayloadSectionName - 1) == 0)
        payload = i;
    }
  }
  size_t Section(size_t i) const { return table + 40 * i; }
};

const Bytes& Self() {
  static const Bytes image = payload_test::ReadFile(SelfExecutablePath());
  return image;
}

TEST(PayloadPe, FindsTheBytesTheRunningProgramReads) {
  PayloadLocation where;
  ASSERT_EQ(Locate(Self(), &where), "ok");
  EXPECT_EQ(static_cast<long>(where.LoaderOffset), payload_test::SelfLoaderOffset());
  EXPECT_EQ(where.FirmwareOffset, where.LoaderOffset + kLoaderBufferSize);
  EXPECT_EQ(Self()[where.LoaderOffset], kLoaderMarkerByte);
  EXPECT_EQ(Self()[where.FirmwareOffset], kFirmwareMarkerByte);
  // The digest record: the bytes the running program reads as its record.
  EXPECT_EQ(static_cast<long>(where.DigestOffset), payload_test::SelfFileOffset(DigestRecordBytes()));
}

TEST(PayloadPe, RefusesWhatItCannotTrust) {
  const Layout at(Self());
  ASSERT_LT(at.payload, at.count);
  const size_t ps = at.Section(at.payload);
  const size_t other = at.Section(at.payload == 0 ? 1 : 0);
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
    std::string expected;
  };
  const Case cases[] = {
      {"no MZ", [](Bytes& b) { b[0] = 'X'; }, "not an executable of this system (no PE header)"},
      {"cut in the DOS header", [](Bytes& b) { b.resize(0x30); },
       "not an executable of this system (no PE header)"},
      {"PE header beyond the end", [](Bytes& b) { Put32(b, 0x3C, static_cast<uint32_t>(b.size() - 8)); },
       "a truncated executable (PE header)"},
      {"no PE signature", [&](Bytes& b) { b[at.pe + 2] = 'X'; },
       "not an executable of this system (no PE header)"},
      {"another machine", [&](Bytes& b) { Put16(b, at.coff, 0x01c4); },
       "an executable of another kind of machine"},
      {"a 32-bit optional header", [&](Bytes& b) { Put16(b, at.optional, 0x010b); },
       "an executable of another kind of machine"},
      {"an object file, not an image", [&](Bytes& b) { b[at.coff + 18] &= ~0x02; },
       "not an executable program"},
      {"tiny optional header", [&](Bytes& b) { Put16(b, at.coff + 16, 16); }, "damaged optional header"},
      {"cut in the section headers", [&](Bytes& b) { b.resize(at.Section(at.count) - 1); },
       "damaged section headers"},
      {"the section renamed", [&](Bytes& b) { b[ps + 1] = 'x'; },
       "the payload buffers are missing (no section " + std::string(kPayloadSectionName) + ")"},
      {"a second section of that name", [&](Bytes& b) { std::memcpy(b.data() + other, b.data() + ps, 8); },
       "more than one payload section"},
      {"another size", [&](Bytes& b) { Put32(b, ps + 8, kPayloadSectionSize - 64); },
       "the payload section has an unexpected type or size"},
      {"read-only", [&](Bytes& b) { b[ps + 39] &= 0x7F; },
       "the payload section has an unexpected type or size"},
      {"zero-filled data", [&](Bytes& b) { b[ps + 36] |= 0x80; },
       "the payload section has an unexpected type or size"},
      {"raw data beyond the end",
       [&](Bytes& b) { Put32(b, ps + 20, static_cast<uint32_t>(b.size() - 4096)); },
       "the payload section lies beyond the file"},
      {"partly zero-filled", [&](Bytes& b) { Put32(b, ps + 16, kPayloadSectionSize - 512); },
       "the payload section is not loaded from the file as expected"},
      {"past the image's end", [&](Bytes& b) { Put32(b, at.optional + 56, Get32(b, ps + 12)); },
       "the payload section is not loaded from the file as expected"},
      {"another section mapped over it", [&](Bytes& b) { Put32(b, other + 12, Get32(b, ps + 12) + 4096); },
       "the payload section is not loaded from the file as expected"},
  };
  for (const Case& c : cases) {
    Bytes image = Self();
    c.damage(image);
    EXPECT_EQ(Locate(image), c.expected) << c.what;
  }
  EXPECT_EQ(Locate(payload_test::Pattern(4096)), "not an executable of this system (no PE header)");
}

TEST(PayloadPe, RandomDamageToTheHeadersNeverReadsOutsideTheFile) {
  Bytes image = Self();
  const Layout at(image);
  const payload_test::Region regions[] = {{0, 0x40}, {at.pe, at.table - at.pe}, {at.table, 40 * at.count}};
  EXPECT_GT(payload_test::DamageAtRandom(image, regions), 100);
}

}  // namespace
}  // namespace payload
