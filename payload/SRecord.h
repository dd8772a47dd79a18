// Whether a loader is Motorola S-record text that the boot loader can take: the bytes are only looked at,
// never rewritten, so what is sent stays exactly what the file or buffer holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace payload {

// Empty when every line is a record S0 to S9 of hex digits whose count and checksum agree; otherwise why
// the first bad line is bad ("line 4: checksum 4F, the record's bytes give 50"). Forms that loader tools
// write pass: CR LF or LF line ends, blank lines, trailing blanks, count records (S5, S6), and DOS
// end-of-file bytes (0x1A) or 0xFF bytes (a buffer's fill) at the very end. A text with no record at all is
// refused too.
std::string SRecordFault(const uint8_t* data, size_t size);

}  // namespace payload
