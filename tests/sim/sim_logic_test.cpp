// The simulator's own checks: the image CRC and the loader's S-record validation.
#include <gtest/gtest.h>

#include <string>

#include "tools/indicator-sim/crc16.h"
#include "tools/indicator-sim/srecord.h"

namespace {

std::span<const std::uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(SimCrc, Crc16ArcCheckValueAndChaining) {
  EXPECT_EQ(sim::crc16_arc(bytes("123456789")), 0xBB3D);
  EXPECT_EQ(sim::crc16_arc(bytes("")), 0x0000);
  EXPECT_EQ(sim::crc16_arc(bytes(std::string(1, '\x01'))), 0xC0C1);  // reflected 0x8005, no final XOR
  // Block by block, as the image arrives, gives the same as the whole image at once.
  std::string image(2500, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + 3);
  std::uint16_t crc = 0;
  for (std::size_t pos = 0; pos < image.size(); pos += 1000)
    crc = sim::crc16_arc_update(crc, bytes(image.substr(pos, 1000)));
  EXPECT_EQ(crc, sim::crc16_arc(bytes(image)));
}

TEST(SimSRecord, GoodRecordsOfEveryAddressWidth) {
  for (const char* line :
       {"S00F000068656C6C6F202020202000003C", "S111003848656C6C6F20776F726C642E0A0042", "S5030003F9",
        "S9030000FC", "S804000000FB", "S70500000000FA", "S20500100011D9", "S3060000100022C7"}) {
    auto r = sim::check_srecord(line);
    EXPECT_EQ(r.status, sim::SRecordStatus::Ok) << line;
  }
  EXPECT_TRUE(sim::check_srecord("S9030000FC").terminator());
  EXPECT_TRUE(sim::check_srecord("S804000000FB").terminator());
  EXPECT_FALSE(sim::check_srecord("S5030003F9").terminator());
  // Lower-case hex digits are accepted after the upper-case 'S'.
  EXPECT_EQ(sim::check_srecord("S111003848656c6c6f20776f726c642e0a0042").status, sim::SRecordStatus::Ok);
}

TEST(SimSRecord, BadChecksumTruncatedAndMalformed) {
  using S = sim::SRecordStatus;
  EXPECT_EQ(sim::check_srecord("S9030000FD").status, S::BadChecksum);
  EXPECT_EQ(sim::check_srecord("S111003848656C6C6F20776F726C642E0B0042").status, S::BadChecksum);  // data bit
  EXPECT_EQ(sim::check_srecord("S111003848656C6C6F20776F726C642E0A00").status, S::Incomplete);
  EXPECT_EQ(sim::check_srecord("S9030000F").status, S::Incomplete);
  EXPECT_EQ(sim::check_srecord("S9").status, S::Incomplete);
  EXPECT_EQ(sim::check_srecord("S9030000FC0").status, S::TooLong);
  EXPECT_EQ(sim::check_srecord("S4030000FC").status, S::BadFormat);  // no such type
  EXPECT_EQ(sim::check_srecord("X9030000FC").status, S::BadFormat);
  EXPECT_EQ(sim::check_srecord("S90G0000FC").status, S::BadFormat);  // count not hex
  EXPECT_EQ(sim::check_srecord("S9020000FC").status, S::BadFormat);  // count below address + checksum
  EXPECT_EQ(sim::check_srecord("S90300Z0FC").status, S::BadFormat);
  // A malformed character is reported as soon as it is seen, not only when the record is complete.
  EXPECT_EQ(sim::check_srecord("S1130Z").status, S::BadFormat);
}

}  // namespace
