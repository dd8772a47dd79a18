#include "payload/SRecord.h"

#include <cstdio>

namespace payload {
namespace {

int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Hex2(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", v & 0xFF);
  return text;
}

// The fewest bytes a record of each type counts: its address (or record count) and the checksum.
constexpr unsigned kLeastCount[10] = {3, 3, 4, 5, 1, 3, 4, 5, 4, 3};

// Why one line (its end of line and trailing blanks already cut off) is no record; empty when it is one.
std::string RecordFault(const uint8_t* p, size_t n) {
  if (n < 2 || p[0] != 'S' || p[1] < '0' || p[1] > '9') return "does not begin with a record type S0 to S9";
  const unsigned type = p[1] - '0';
  for (size_t i = 2; i < n; ++i) {
    if (HexValue(p[i]) >= 0) continue;
    if (p[i] < 0x20 || p[i] >= 0x7F)
      return "byte " + Hex2(p[i]) + " at column " + std::to_string(i + 1) + " is not text";
    return "'" + std::string(1, static_cast<char>(p[i])) + "' at column " + std::to_string(i + 1) +
           " is not a hex digit";
  }
  if (n < 4) return "no count";
  if (n % 2 != 0) return "an odd number of hex digits";
  const unsigned count = static_cast<unsigned>(HexValue(p[2]) * 16 + HexValue(p[3]));
  const size_t follow = (n - 4) / 2;
  if (follow != count) {
    return "count " + Hex2(count) + " (" + std::to_string(count) + " bytes), but " + std::to_string(follow) +
           " bytes follow it";
  }
  if (count < kLeastCount[type]) {
    return "count " + Hex2(count) + " is too small for an S" + std::to_string(type) + " record (at least " +
           Hex2(kLeastCount[type]) + ")";
  }
  unsigned sum = count;
  for (size_t i = 0; i + 1 < count; ++i) sum += HexValue(p[4 + 2 * i]) * 16 + HexValue(p[5 + 2 * i]);
  const unsigned want = ~sum & 0xFF;
  const unsigned given = HexValue(p[n - 2]) * 16 + HexValue(p[n - 1]);
  if (given != want) return "checksum " + Hex2(given) + ", the record's bytes give " + Hex2(want);
  return {};
}

bool Blank(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\r';
}

}  // namespace

std::string SRecordFault(const uint8_t* data, size_t size) {
  // A DOS end of file, and the 0xFF tail that the size rule leaves out of a payload's count.
  while (size > 0 && (data[size - 1] == 0x1A || data[size - 1] == 0xFF)) --size;
  size_t records = 0;
  size_t line = 0;
  for (size_t at = 0; at < size;) {
    ++line;
    size_t end = at;
    while (end < size && data[end] != '\n') ++end;
    size_t last = end;
    while (last > at && Blank(data[last - 1])) --last;
    if (last > at) {
      const std::string why = RecordFault(data + at, last - at);
      if (!why.empty()) return "line " + std::to_string(line) + ": " + why;
      ++records;
    }
    at = end + 1;
  }
  if (records == 0) return "it holds no S-record";
  return {};
}

}  // namespace payload
