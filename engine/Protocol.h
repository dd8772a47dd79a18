// The indicator protocol's pure rules, free of any engine object: reading the numbers in replies and the
// CRC-16 that closes a firmware transfer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace engine {

// The messages with which the indicator's memory ends an update.
inline constexpr char kNoSpaceText[] =
    "This indicator does not have enough space. Delete some files in the indicator first.";
inline constexpr char kHeapText[] = "Start, End address outside heap";

// The CRC-16 table of the reflected polynomial 0xA001.
extern const std::array<uint16_t, 256> kCrcTable;

// One byte more into a running CRC-16 (which starts at 0).
inline uint16_t CrcAdd(uint16_t crc, uint8_t byte) {
  return static_cast<uint16_t>(kCrcTable[(crc ^ byte) & 0xFF] ^ (crc >> 8));
}

// The CRC-16 of a whole payload, as the indicator checks it.
uint16_t Crc16(const uint8_t* data, size_t n);

// The integer in a reply text: leading spaces, an optional sign, decimal digits or hexadecimal digits after
// "$", "x" or "0x"; -1 when the text is no number or leaves the signed 32-bit range.
int32_t ReadReplyInteger(const std::string& text);
// False when the text has 1 to 6 characters and one is not 0-9 or A-F; true otherwise (also for "" and 7+).
bool IsHexText(const std::string& text);

}  // namespace engine
