// Line speeds that the classic termios speed table lacks (14400, 56000, 128000, 256000, ...) go through
// Linux's arbitrary-rate interface. It lives in its own file because its kernel header clashes with
// <termios.h>.
#pragma once

#include <cstdint>

namespace commos::detail {

// Sets both directions of fd to baud; false when the device refuses or reports another rate back.
bool SetCustomBaud(int fd, uint32_t baud);
// The output rate fd runs at, in baud; 0 when it cannot be read.
uint32_t GetBaud(int fd);

}  // namespace commos::detail
