#include "png.h"

#include <algorithm>
#include <array>

namespace shots {

namespace {

constexpr size_t kWindow = 32768;  // how far back a reference may reach
constexpr size_t kMinMatch = 3;
constexpr size_t kMaxMatch = 258;
constexpr int kChain = 64;  // candidates tried per position: plenty for pictures, bounded for noise
constexpr uint32_t kHashBits = 15;

constexpr std::array<uint16_t, 29> kLengthBase = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                                  15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                                  67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<uint16_t, 30> kDistanceBase = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<uint8_t, 30> kDistanceExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Deflate's bit order: values least significant bit first, Huffman codes most significant bit first.
class BitWriter {
 public:
  explicit BitWriter(std::string& out) : out_(out) {}
  void Bits(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) Bit((value >> i) & 1);
  }
  void Code(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) Bit((code >> i) & 1);
  }
  void Flush() {
    if (used_) out_ += static_cast<char>(byte_);
    byte_ = 0;
    used_ = 0;
  }

 private:
  void Bit(uint32_t bit) {
    byte_ |= static_cast<uint8_t>(bit << used_);
    if (++used_ == 8) Flush();
  }
  std::string& out_;
  uint8_t byte_ = 0;
  int used_ = 0;
};

// A literal or length symbol in the fixed code.
void Symbol(BitWriter& w, uint32_t symbol) {
  if (symbol < 144) {
    w.Code(0x30 + symbol, 8);
  } else if (symbol < 256) {
    w.Code(0x190 + symbol - 144, 9);
  } else if (symbol < 280) {
    w.Code(symbol - 256, 7);
  } else {
    w.Code(0xc0 + symbol - 280, 8);
  }
}

void Reference(BitWriter& w, size_t length, size_t distance) {
  size_t l = kLengthBase.size() - 1;
  while (kLengthBase[l] > length) --l;
  Symbol(w, static_cast<uint32_t>(257 + l));
  w.Bits(static_cast<uint32_t>(length - kLengthBase[l]), kLengthExtra[l]);
  size_t d = kDistanceBase.size() - 1;
  while (kDistanceBase[d] > distance) --d;
  w.Code(static_cast<uint32_t>(d), 5);
  w.Bits(static_cast<uint32_t>(distance - kDistanceBase[d]), kDistanceExtra[d]);
}

uint32_t Hash(const uint8_t* p) {
  return ((static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2]) * 2654435761u) >>
         (32 - kHashBits);
}

void Put32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xff);
}

void Chunk(std::string& out, const char* type, const std::string& data) {
  Put32(out, static_cast<uint32_t>(data.size()));
  const std::string typed = std::string(type, 4) + data;
  out += typed;
  Put32(out, Crc32(reinterpret_cast<const uint8_t*>(typed.data()), typed.size()));
}

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
  return ~crc;
}

uint32_t Adler32(const uint8_t* data, size_t size) {
  uint32_t a = 1, b = 0;
  for (size_t i = 0; i < size; ++i) {
    a = (a + data[i]) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

std::string Deflate(const std::vector<uint8_t>& data) {
  // zlib header: deflate with a 32 KiB window, no preset dictionary, check bits.
  std::string z = "\x78\x01";
  BitWriter w(z);
  w.Bits(1, 1);  // the last block
  w.Bits(1, 2);  // fixed codes
  // Per hash, the latest position; per position (modulo the window), the one before with the same hash.
  std::vector<int64_t> head(size_t{1} << kHashBits, -1);
  std::vector<int64_t> previous(kWindow, -1);
  const size_t n = data.size();
  auto insert = [&](size_t at) {
    if (at + kMinMatch > n) return;
    const uint32_t h = Hash(&data[at]);
    previous[at % kWindow] = head[h];
    head[h] = static_cast<int64_t>(at);
  };
  for (size_t at = 0; at < n;) {
    size_t best = 0, bestDistance = 0;
    if (at + kMinMatch <= n) {
      int64_t candidate = head[Hash(&data[at])];
      const size_t limit = std::min(kMaxMatch, n - at);
      for (int tries = 0; candidate >= 0 && tries < kChain; ++tries) {
        const auto c = static_cast<size_t>(candidate);
        if (at - c > kWindow - 1) break;
        size_t length = 0;
        while (length < limit && data[c + length] == data[at + length]) ++length;
        if (length > best) {
          best = length;
          bestDistance = at - c;
          if (length == limit) break;
        }
        candidate = previous[c % kWindow];
        // A chain entry that the window has overwritten leads to a newer position: stop there.
        if (candidate >= static_cast<int64_t>(c)) break;
      }
    }
    if (best >= kMinMatch) {
      Reference(w, best, bestDistance);
      for (size_t k = 0; k < best; ++k) insert(at + k);
      at += best;
    } else {
      Symbol(w, data[at]);
      insert(at);
      ++at;
    }
  }
  Symbol(w, 256);  // end of block
  w.Flush();
  Put32(z, Adler32(data.data(), data.size()));
  return z;
}

std::string EncodePng(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb) {
  // The raw image: each row behind its filter byte (0, none).
  const size_t row = static_cast<size_t>(width) * 3;
  std::vector<uint8_t> raw;
  raw.reserve((row + 1) * height);
  for (uint32_t y = 0; y < height; ++y) {
    raw.push_back(0);
    raw.insert(raw.end(), rgb.begin() + static_cast<std::ptrdiff_t>(y * row),
               rgb.begin() + static_cast<std::ptrdiff_t>((y + 1) * row));
  }
  std::string out = "\x89PNG\r\n\x1a\n";
  std::string header;
  Put32(header, width);
  Put32(header, height);
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, truecolour, deflate, no filter, no interlace
  Chunk(out, "IHDR", header);
  Chunk(out, "IDAT", Deflate(raw));
  Chunk(out, "IEND", "");
  return out;
}

}  // namespace shots
