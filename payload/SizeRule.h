// The rule that turns a payload (a buffer or a file as read) into a byte count: everything up to and
// including the last byte that is not 0xFF. 0xFF bytes inside the payload count; the trailing run does not.
#pragma once

#include <cstddef>
#include <cstdint>

namespace payload {

// The rule over bytes in memory.
uint32_t SizeOf(const uint8_t* data, size_t n);

// The firmware size as announced to the indicator: odd sizes gain a byte, and a multiple of the 1000-byte
// block length (0 included) gains two more, so the last block is never a full one.
uint32_t AdjustFirmwareSize(uint32_t size);

}  // namespace payload
