// The size rule, the firmware adjustment, and the buffers with their empty markers.
#include <gtest/gtest.h>

#include <cstring>

#include "payload/Buffers.h"
#include "payload/SizeRule.h"
#include "tests/payload/test_files.h"

namespace payload {
namespace {

using payload_test::Bytes;

TEST(PayloadSizeRule, CountsUpToTheLastByteThatIsNot0xFF) {
  Bytes longer = payload_test::Pattern(70001);
  longer[500] = 0xFF;
  longer.insert(longer.end(), 3000, 0xFF);
  const std::pair<Bytes, uint32_t> cases[] = {{{}, 0},           {{0xFF, 0xFF}, 0},
                                              {{0x01}, 1},       {{0x01, 0xFF, 0xFF, 0x02, 0xFF}, 4},
                                              {{0xFF, 0x00}, 2}, {longer, 70001}};
  for (const auto& [bytes, size] : cases) {
    EXPECT_EQ(SizeOf(bytes.data(), bytes.size()), size);
  }
  const std::pair<uint32_t, uint32_t> adjusted[] = {
      {0, 2},       {1, 2},       {999, 1002},  {1000, 1002},
      {1998, 1998}, {2001, 2002}, {4000, 4002}, {1048575, 1048576}};
  for (auto [raw, announced] : adjusted) EXPECT_EQ(AdjustFirmwareSize(raw), announced) << raw;
}

TEST(PayloadBuffers, ShippedEmptyAndOnlyTheFirstFourBytesTell) {
  Bytes loader(LoaderBytes(), LoaderBytes() + kLoaderBufferSize);
  Bytes firmware(FirmwareBytes(), FirmwareBytes() + kFirmwareBufferSize);
  Bytes shippedLoader(kLoaderBufferSize, 0xFF), shippedFirmware(kFirmwareBufferSize, 0xFF);
  std::memset(shippedLoader.data(), 0x88, 6);
  std::memset(shippedFirmware.data(), 0x55, 4);
  EXPECT_EQ(loader, shippedLoader);
  EXPECT_EQ(firmware, shippedFirmware);
  EXPECT_EQ(FirmwareBytes(), LoaderBytes() + kLoaderBufferSize);
  EXPECT_TRUE(LoaderBufferEmpty());
  EXPECT_TRUE(FirmwareBufferEmpty());

  uint8_t* l = MutableLoaderBytes();
  uint8_t* f = MutableFirmwareBytes();
  l[4] = 'S';  // beyond the test
  EXPECT_TRUE(LoaderBufferEmpty());
  l[3] = 0x87;
  EXPECT_FALSE(LoaderBufferEmpty());
  f[3] = 0x54;
  EXPECT_FALSE(FirmwareBufferEmpty());
  std::memcpy(l, shippedLoader.data(), 6);
  f[3] = 0x55;
}

}  // namespace
}  // namespace payload
