// Looking for the payload buffers in an executable image, whole or damaged: shared by the ELF and the PE
// tests, which differ only in where their headers lie.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "payload/Buffers.h"
#include "payload/Digest.h"
#include "payload/ElfPayload.h"
#include "tests/payload/test_files.h"

namespace payload_test {

// "ok", or the reason the image is refused.
inline std::string Locate(const Bytes& image, payload::PayloadLocation* where = nullptr) {
  payload::PayloadLocation unused;
  std::string error;
  return payload::LocatePayload(image.data(), image.size(), where ? where : &unused, &error) ? "ok" : error;
}

// A header region: its offset in the file and its size.
using Region = std::array<size_t, 2>;

// Damages three random bytes of one of `regions` at a time, 4000 times (the image is whole again after each):
// every round must end in a refusal or a place inside the file, never a read beyond it (the sanitizers
// watch). Returns how many rounds were refused.
inline int DamageAtRandom(Bytes& image, std::span<const Region> regions) {
  uint32_t x = 12345;
  auto next = [&] { return x = x * 1664525u + 1013904223u; };
  int refused = 0;
  for (int round = 0; round < 4000; ++round) {
    const Region& r = regions[next() % regions.size()];
    std::pair<size_t, uint8_t> saved[3];
    for (auto& [at, old] : saved) {
      at = r[0] + next() % r[1];
      old = image[at];
      image[at] = static_cast<uint8_t>(next() >> 24);
    }
    payload::PayloadLocation where;
    if (Locate(image, &where) == "ok") {
      EXPECT_LE(where.FirmwareOffset + payload::kFirmwareBufferSize, image.size());
      EXPECT_LE(where.DigestOffset + payload::kDigestRecordSize, image.size());
    } else {
      ++refused;
    }
    for (int k = 2; k >= 0; --k) image[saved[k].first] = saved[k].second;
  }
  return refused;
}

}  // namespace payload_test
