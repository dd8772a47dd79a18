#include "srecord.h"

namespace sim {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int hex_byte(std::string_view s, std::size_t pos) {
  int hi = hex_value(s[pos]), lo = hex_value(s[pos + 1]);
  return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

// Address bytes per record type; -1 for types that do not exist.
int address_bytes(char type) {
  switch (type) {
    case '0':
    case '1':
    case '5':
    case '9':
      return 2;
    case '2':
    case '6':
    case '8':
      return 3;
    case '3':
    case '7':
      return 4;
    default:
      return -1;
  }
}

}  // namespace

SRecordCheck check_srecord(std::string_view line) {
  SRecordCheck r;
  if (line.empty()) {
    r.status = SRecordStatus::Incomplete;
    return r;
  }
  if (line[0] != 'S') return r;
  if (line.size() < 2) {
    r.status = SRecordStatus::Incomplete;
    return r;
  }
  int addr = address_bytes(line[1]);
  if (addr < 0) return r;
  r.type = line[1];
  if (line.size() < 4) {
    for (std::size_t i = 2; i < line.size(); ++i)
      if (hex_value(line[i]) < 0) return r;
    r.status = SRecordStatus::Incomplete;
    return r;
  }
  int count = hex_byte(line, 2);
  if (count < addr + 1) return r;  // also catches a non-hex count (-1)
  r.length = 4 + 2 * static_cast<std::size_t>(count);
  std::size_t have = line.size() < r.length ? line.size() : r.length;
  for (std::size_t i = 4; i < have; ++i)
    if (hex_value(line[i]) < 0) return r;
  if (line.size() < r.length) {
    r.status = SRecordStatus::Incomplete;
    return r;
  }
  if (line.size() > r.length) {
    r.status = SRecordStatus::TooLong;
    return r;
  }
  unsigned sum = 0;
  for (std::size_t pos = 2; pos + 2 < r.length; pos += 2) sum += static_cast<unsigned>(hex_byte(line, pos));
  unsigned want = (~sum) & 0xFFu;
  r.status = static_cast<unsigned>(hex_byte(line, r.length - 2)) == want ? SRecordStatus::Ok
                                                                         : SRecordStatus::BadChecksum;
  return r;
}

const char* to_string(SRecordStatus status) {
  switch (status) {
    case SRecordStatus::Ok:
      return "ok";
    case SRecordStatus::Incomplete:
      return "truncated";
    case SRecordStatus::BadFormat:
      return "malformed";
    case SRecordStatus::BadChecksum:
      return "bad checksum";
    case SRecordStatus::TooLong:
      return "too long";
  }
  return "?";
}

}  // namespace sim
