// The PNG writer of the documentation's pictures, read back by a small inflater of its own (stored and
// fixed-code blocks, all the writer makes), so a fault in the bit order, a length or distance table, the
// window or a checksum shows as data that does not come back.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/win32/tools/png.h"

namespace {

class Inflater {
 public:
  explicit Inflater(const std::string& z) : z_(z) {}

  std::vector<uint8_t> Run() {
    if (z_.size() < 6 || ((static_cast<uint8_t>(z_[0]) << 8) | static_cast<uint8_t>(z_[1])) % 31 != 0 ||
        (z_[0] & 0x0f) != 8) {
      throw std::runtime_error("bad zlib header");
    }
    pos_ = 16;
    std::vector<uint8_t> out;
    for (bool last = false; !last;) {
      last = Bits(1);
      const uint32_t type = Bits(2);
      if (type == 0) {
        pos_ = (pos_ + 7) / 8 * 8;
        const uint32_t len = Bits(16), nlen = Bits(16);
        if ((len ^ 0xffff) != nlen) throw std::runtime_error("stored length");
        for (uint32_t i = 0; i < len; ++i) out.push_back(static_cast<uint8_t>(Bits(8)));
      } else if (type == 1) {
        Fixed(out);
      } else {
        throw std::runtime_error("unexpected block type");
      }
    }
    pos_ = (pos_ + 7) / 8 * 8;
    uint32_t adler = 0;
    for (int i = 0; i < 4; ++i) adler = adler << 8 | Bits(8);
    if (adler != shots::Adler32(out.data(), out.size())) throw std::runtime_error("adler");
    if (pos_ / 8 != z_.size()) throw std::runtime_error("trailing bytes");
    return out;
  }

 private:
  uint32_t Bits(int count) {
    uint32_t v = 0;
    for (int i = 0; i < count; ++i, ++pos_) {
      if (pos_ / 8 >= z_.size()) throw std::runtime_error("ran out of data");
      v |= ((static_cast<uint8_t>(z_[pos_ / 8]) >> (pos_ % 8)) & 1u) << i;
    }
    return v;
  }
  uint32_t Code(int count) {
    uint32_t v = 0;
    for (int i = 0; i < count; ++i) v = v << 1 | Bits(1);
    return v;
  }
  uint32_t Symbol() {
    uint32_t code = Code(7);
    if (code <= 0x17) return 256 + code;
    code = code << 1 | Bits(1);
    if (code >= 0x30 && code <= 0xbf) return code - 0x30;
    if (code >= 0xc0 && code <= 0xc7) return 280 + code - 0xc0;
    code = code << 1 | Bits(1);
    return 144 + code - 0x190;
  }
  void Fixed(std::vector<uint8_t>& out) {
    static const uint16_t lengthBase[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                          31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const uint8_t lengthExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                          2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    for (;;) {
      const uint32_t s = Symbol();
      if (s < 256) {
        out.push_back(static_cast<uint8_t>(s));
        continue;
      }
      if (s == 256) return;
      if (s > 285) throw std::runtime_error("bad length symbol");
      const size_t length = lengthBase[s - 257] + Bits(lengthExtra[s - 257]);
      const uint32_t d = Code(5);
      if (d > 29) throw std::runtime_error("bad distance symbol");
      // Distance bases: 1, 2, 3, 4, then doubling in pairs.
      const uint32_t extra = d < 4 ? 0 : d / 2 - 1;
      const size_t base = d < 4 ? d + 1 : (size_t{2} << extra) + (d % 2) * (size_t{1} << extra) + 1;
      const size_t distance = base + Bits(static_cast<int>(extra));
      if (distance > out.size() || distance > 32768) throw std::runtime_error("reaches before the start");
      for (size_t i = 0; i < length; ++i) out.push_back(out[out.size() - distance]);
    }
  }

  const std::string& z_;
  size_t pos_ = 0;
};

std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

TEST(ShotsPng, ChecksumsMatchTheirReferenceValues) {
  const std::string check = "123456789";
  EXPECT_EQ(shots::Crc32(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0xcbf43926u);
  const std::string wiki = "Wikipedia";
  EXPECT_EQ(shots::Adler32(reinterpret_cast<const uint8_t*>(wiki.data()), wiki.size()), 0x11e60398u);
  EXPECT_EQ(shots::Adler32(nullptr, 0), 1u);
}

TEST(ShotsPng, DeflatedDataComesBackWhole) {
  std::mt19937 random(7);
  std::vector<uint8_t> noise(100000);
  for (uint8_t& v : noise) v = static_cast<uint8_t>(random());
  std::vector<uint8_t> picture;  // rows that repeat with a distance of a whole row, as windows do
  for (int y = 0; y < 300; ++y) {
    for (int x = 0; x < 1500; ++x) picture.push_back(static_cast<uint8_t>(x % 97 < 90 ? 0xf0 : (y / 20) * 9));
  }
  std::vector<uint8_t> farBack(70000, 'a');  // a match just inside and one just beyond the window
  std::memcpy(farBack.data(), "unique start", 12);
  std::memcpy(farBack.data() + 32768, "unique start", 12);
  std::memcpy(farBack.data() + 65537, "unique start", 12);
  struct Case {
    const char* what;
    std::vector<uint8_t> data;
  } const cases[] = {
      {"nothing", {}},
      {"one byte", {0x00}},
      {"every literal code length",
       [] {
         std::vector<uint8_t> all;
         for (int v = 0; v < 256; ++v) all.push_back(static_cast<uint8_t>(v));
         return all;
       }()},
      {"a run longer than the longest match", std::vector<uint8_t>(1000, 0x2a)},
      {"each length code",
       [] {
         std::vector<uint8_t> runs;
         for (int n = 3; n <= 260; ++n) {
           runs.insert(runs.end(), static_cast<size_t>(n) + 1, static_cast<uint8_t>(n));
           runs.push_back(0);
         }
         return runs;
       }()},
      {"text", Bytes("the quick brown fox, the quick brown fox jumps over the lazy dog; the lazy dog")},
      {"noise", noise},
      {"picture rows", picture},
      {"far references", farBack},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string z = shots::Deflate(c.data);
    std::vector<uint8_t> back;
    ASSERT_NO_THROW(back = Inflater(z).Run());
    EXPECT_EQ(back, c.data);
  }
  // Windows pictures are why it compresses: a repeating picture must shrink a lot.
  EXPECT_LT(shots::Deflate(picture).size() * 20, picture.size());
}

uint32_t Get32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

TEST(ShotsPng, FileHasValidChunksAndTheRowsBehindFilterBytes) {
  struct Case {
    uint32_t width, height;
  } const cases[] = {{1, 1}, {3, 2}, {487, 104}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    std::vector<uint8_t> rgb(static_cast<size_t>(c.width) * c.height * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 31 / 7);
    const std::string png = shots::EncodePng(c.width, c.height, rgb);
    ASSERT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    std::vector<std::string> types;
    std::string idat, ihdr;
    for (size_t at = 8; at < png.size();) {
      ASSERT_LE(at + 12, png.size());
      const uint32_t length = Get32(png, at);
      ASSERT_LE(at + 12 + length, png.size());
      const std::string typed = png.substr(at + 4, 4 + length);
      EXPECT_EQ(Get32(png, at + 8 + length),
                shots::Crc32(reinterpret_cast<const uint8_t*>(typed.data()), typed.size()));
      types.push_back(typed.substr(0, 4));
      if (types.back() == "IHDR") ihdr = typed.substr(4);
      if (types.back() == "IDAT") idat += typed.substr(4);
      at += 12 + length;
    }
    EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
    ASSERT_EQ(ihdr.size(), 13u);
    EXPECT_EQ(Get32(ihdr, 0), c.width);
    EXPECT_EQ(Get32(ihdr, 4), c.height);
    EXPECT_EQ(ihdr.substr(8), std::string("\x08\x02\x00\x00\x00", 5));
    std::vector<uint8_t> raw;
    ASSERT_NO_THROW(raw = Inflater(idat).Run());
    const size_t row = static_cast<size_t>(c.width) * 3;
    ASSERT_EQ(raw.size(), (row + 1) * c.height);
    for (uint32_t y = 0; y < c.height; ++y) {
      EXPECT_EQ(raw[y * (row + 1)], 0) << "row " << y;
      EXPECT_TRUE(std::equal(rgb.begin() + static_cast<std::ptrdiff_t>(y * row),
                             rgb.begin() + static_cast<std::ptrdiff_t>((y + 1) * row),
                             raw.begin() + static_cast<std::ptrdiff_t>(y * (row + 1) + 1)))
          << "row " << y;
    }
  }
}

}  // namespace
