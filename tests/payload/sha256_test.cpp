// The program's own SHA-256 (the browser's): the known answers, and the system's SHA-256 on every length
// that puts the padding in another place (a block's end, the 56-byte mark, two blocks for the tail).
#include <gtest/gtest.h>

#include "payload/Digest.h"
#include "payload/Sha256Portable.h"
#include "tests/payload/digest_cases.h"

namespace {

TEST(Sha256Portable, KnownAnswers) {
  payload_test::ExpectKnownSha256(payload::PortableSha256);
}

TEST(Sha256Portable, AgreesWithTheSystemsOnEveryTailLength) {
  payload_test::Bytes bytes(64 * 3 + 1000);
  uint32_t x = 2463534242u;  // xorshift: every byte value, no pattern a block could hide
  for (uint8_t& b : bytes) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  for (size_t n = 0; n <= bytes.size(); n += n < 200 ? 1 : 97) {
    EXPECT_EQ(payload::HexOf(payload::PortableSha256(bytes.data(), n)),
              payload::HexOf(payload::Sha256Of(bytes.data(), n)))
        << n << " bytes";
  }
}

}  // namespace
