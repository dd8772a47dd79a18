// The size rule, the firmware adjustment, and the buffers with their empty markers.
#include <gtest/gtest.h>

#include <cstring>

#include "payload/Buffers.h"
#include "payload/SRecord.h"
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

TEST(PayloadSRecords, TakesWhatLoaderToolsWriteAndNamesTheFirstBadLine) {
  const std::string head = "S00600004844521B\r\nS107100001020304DE\r\n";
  const std::pair<std::string, std::string> cases[] = {
      {head + "S9030000FC\r\n", ""},
      {"S107100001020304DE\nS9030000FC", ""},                                // LF, no end of line at the end
      {"\r\n" + head + "\r\n\r\nS5030001FB  \t\r\nS9030000FC\r\n\x1a", ""},  // blanks, count, DOS end
      {"s107100001020304de\n", "line 1: does not begin with a record type S0 to S9"},
      {"S107100001020304de\n", ""},  // lower-case hex digits
      {"", "it holds no S-record"},
      {"\r\n\x1a\x1a", "it holds no S-record"},
      {"Loader for the indicator\r\n", "line 1: does not begin with a record type S0 to S9"},
      {head + "S9030000FD\r\n", "line 3: checksum FD, the record's bytes give FC"},
      {head + "S9040000FC\r\n", "line 3: count 04 (4 bytes), but 3 bytes follow it"},
      {head + "S9030000F\r\n", "line 3: an odd number of hex digits"},
      {head + "S90300G0FC\r\n", "line 3: 'G' at column 7 is not a hex digit"},
      {head + "S9030000FC\x1a\r\n", "line 3: byte 1A at column 11 is not text"},
      {head + " S9030000FC\r\n", "line 3: does not begin with a record type S0 to S9"},
      {"S304000000FB\n", "line 1: count 04 is too small for an S3 record (at least 05)"},
      {"S1\n", "line 1: no count"},
      {head + "\xff\xff\x1a\xff", ""},  // a buffer's fill after a DOS end
      {head + "\xff\r\n", "line 3: does not begin with a record type S0 to S9"},
  };
  for (const auto& [text, why] : cases) {
    EXPECT_EQ(SRecordFault(reinterpret_cast<const uint8_t*>(text.data()), text.size()), why) << text;
  }
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
