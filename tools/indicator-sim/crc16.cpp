#include "crc16.h"

namespace sim {

// Bitwise on purpose: the updater uses a table, so the two cannot share a wrong entry.
std::uint16_t crc16_arc_update(std::uint16_t crc, std::span<const std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i)
      crc = (crc & 1u) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u) : crc >> 1;
  }
  return crc;
}

}  // namespace sim
