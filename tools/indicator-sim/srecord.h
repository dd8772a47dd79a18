// Motorola S-record checking, the way the indicator validates an uploaded loader line by line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sim {

enum class SRecordStatus {
  Ok,
  Incomplete,  // fewer characters than the record's count announces (so far)
  BadFormat,   // not "S<type><count>…", a non-hex digit, an unknown type or a count too small for the type
  BadChecksum,
  TooLong,  // characters after the record's announced end
};

struct SRecordCheck {
  SRecordStatus status = SRecordStatus::BadFormat;
  char type = 0;           // '0'..'9'
  std::size_t length = 0;  // characters the record must have, once the count is known (else 0)
  bool terminator() const { return type == '7' || type == '8' || type == '9'; }
};

// Checks one record without its line end. A record shorter than announced is Incomplete: the
// caller decides whether more characters may still come.
SRecordCheck check_srecord(std::string_view line);

const char* to_string(SRecordStatus status);

}  // namespace sim
