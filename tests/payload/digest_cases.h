// The digest record of a built copy, read back and damaged: shared by the ELF and the PE builder tests, so
// both systems' SHA-256 (libgcrypt, CNG) and record are held to the same answers.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "payload/Buffers.h"
#include "payload/Digest.h"
#include "payload/ElfPayload.h"
#include "tests/payload/test_files.h"

namespace payload_test {

// Known answers (FIPS 180-2), so the hash is SHA-256 and the hex reads as sha256sum prints it: the system's
// (libgcrypt, CNG), or the program's own (payload/Sha256Portable.h).
inline void ExpectKnownSha256(payload::Sha256 (*hash)(const uint8_t*, size_t) = payload::Sha256Of) {
  const std::string abc = "abc", two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const std::string million(1000000, 'a');
  const struct {
    const std::string* text;  // none: no bytes at all
    const char* hex;
    size_t digits;
  } rows[] = {
      {nullptr, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", 64},
      {&abc, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", 64},
      {&two, "248d6a61d20638b8", 16},
      {&million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", 64},
  };
  for (const auto& row : rows) {
    const auto* bytes = row.text ? reinterpret_cast<const uint8_t*>(row.text->data()) : nullptr;
    EXPECT_EQ(payload::HexOf(hash(bytes, row.text ? row.text->size() : 0), row.digits), row.hex) << row.hex;
  }
}

// `built` carries `firmware` (which ends in 0xFF bytes) and `loader`, placed by the builder. Its record says
// so, and every kind of damage to a payload, the bytes after it or the record is told apart from a sound copy
// and from one without digests.
inline void ExpectDigestRoundTrip(const Bytes& built, const Bytes& firmware, const Bytes& loader) {
  payload::PayloadLocation at;
  std::string error;
  ASSERT_TRUE(payload::LocatePayload(built.data(), built.size(), &at, &error)) << error;
  const size_t fwEntry = at.DigestOffset + payload::kFirmwareDigestEntry;
  const size_t ldEntry = at.DigestOffset + payload::kLoaderDigestEntry;
  auto check = [&](const Bytes& image) {
    return payload::CheckDigest(image.data() + at.FirmwareOffset, payload::kFirmwareBufferSize,
                                image.data() + fwEntry);
  };

  // The entries as laid out: tag, length (little-endian), four zeros, digest.
  for (auto [entry, bytes] : {std::pair{fwEntry, &firmware}, {ldEntry, &loader}}) {
    EXPECT_EQ(std::memcmp(built.data() + entry, "sha-256\0", 8), 0);
    const uint32_t n = bytes->size();
    const uint8_t length[8] = {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24), 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(built.data() + entry + 8, length, 8), 0);
    const payload::Sha256 digest = payload::Sha256Of(bytes->data(), bytes->size());
    EXPECT_EQ(std::memcmp(built.data() + entry + 16, digest.data(), 32), 0);
  }
  const payload::DigestCheck loaderCheck = payload::CheckDigest(
      built.data() + at.LoaderOffset, payload::kLoaderBufferSize, built.data() + ldEntry);
  EXPECT_EQ(loaderCheck.state, payload::DigestCheck::kMatch);

  const size_t n = firmware.size();
  using State = payload::DigestCheck::State;
  const struct {
    const char* what;
    std::function<void(Bytes&)> damage;
    State state;
    size_t covered;  // the bytes the actual digest covers
  } cases[] = {
      {"untouched", [](Bytes&) {}, payload::DigestCheck::kMatch, n},
      {"one bit of the payload", [&](Bytes& b) { b[at.FirmwareOffset + 17] ^= 0x10; },
       payload::DigestCheck::kMismatch, n},
      {"a 0xFF the payload ends with", [&](Bytes& b) { b[at.FirmwareOffset + n - 1] = 0; },
       payload::DigestCheck::kMismatch, n},
      {"a byte after the payload", [&](Bytes& b) { b[at.FirmwareOffset + n + 99] = 0; },
       payload::DigestCheck::kMismatch, n + 100},
      {"the buffer's last byte",
       [&](Bytes& b) { b[at.FirmwareOffset + payload::kFirmwareBufferSize - 1] = 0x7F; },
       payload::DigestCheck::kMismatch, payload::kFirmwareBufferSize},
      {"one bit of the recorded digest", [&](Bytes& b) { b[fwEntry + 40] ^= 0x01; },
       payload::DigestCheck::kMismatch, n},
      {"the recorded length one shorter", [&](Bytes& b) { b[fwEntry + 8] -= 1; },
       payload::DigestCheck::kMismatch, n - 1},  // the payload ends in 0xFF
      {"the tag", [&](Bytes& b) { b[fwEntry] ^= 0x20; }, payload::DigestCheck::kDamagedRecord, 0},
      {"the zeros after the length", [&](Bytes& b) { b[fwEntry + 13] = 1; },
       payload::DigestCheck::kDamagedRecord, 0},
      {"the zeros after the digest", [&](Bytes& b) { b[fwEntry + 63] = 1; },
       payload::DigestCheck::kDamagedRecord, 0},
      {"a length beyond the buffer", [&](Bytes& b) { b[fwEntry + 10] = 0x20; },
       payload::DigestCheck::kDamagedRecord, 0},
      {"the entry blanked (built before digests)",
       [&](Bytes& b) { std::fill_n(&b[fwEntry], payload::kDigestEntrySize, 0); }, payload::DigestCheck::kNone,
       0},
  };
  // A blanked entry and a damaged one measure the payload by the size rule: up to its last byte not 0xFF.
  size_t measured = n;
  while (measured > 0 && firmware[measured - 1] == 0xFF) --measured;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes image = built;
    c.damage(image);
    const payload::DigestCheck got = check(image);
    EXPECT_EQ(got.state, c.state);
    const size_t covered = c.covered ? c.covered : measured;
    EXPECT_EQ(got.Length, covered);
    EXPECT_TRUE(got.Actual == payload::Sha256Of(image.data() + at.FirmwareOffset, covered));
    const std::string refusal = payload::DigestRefusal(got, "firmware");
    if (c.state == payload::DigestCheck::kMismatch) {
      EXPECT_EQ(std::memcmp(got.Expected.data(), image.data() + fwEntry + 16, 32), 0);  // as recorded
      EXPECT_EQ(
          refusal.rfind("The firmware carried in this program does not match the SHA-256 recorded when it "
                        "was built: this copy is damaged; build or download it again.\r\nExpected: " +
                            payload::HexOf(got.Expected) + "\r\nActual:   " + payload::HexOf(got.Actual),
                        0),
          0u)
          << refusal;
    } else if (c.state == payload::DigestCheck::kDamagedRecord) {
      EXPECT_NE(refusal.find("record of the firmware"), std::string::npos) << refusal;
      EXPECT_NE(refusal.find("this copy is damaged; build or download it again."), std::string::npos);
    } else {
      EXPECT_EQ(refusal, "");
    }
  }
}

}  // namespace payload_test
