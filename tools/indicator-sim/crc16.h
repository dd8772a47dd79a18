// CRC-16/ARC as the indicator's boot loader checks the received image: polynomial 0x8005 reflected
// (0xA001), initial value 0, no final XOR.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace sim {

std::uint16_t crc16_arc_update(std::uint16_t crc, std::span<const std::uint8_t> bytes);
inline std::uint16_t crc16_arc(std::span<const std::uint8_t> bytes) {
  return crc16_arc_update(0, bytes);
}

}  // namespace sim
