#include "payload/SizeRule.h"

namespace payload {

uint32_t SizeOf(const uint8_t* data, size_t n) {
  while (n > 0 && data[n - 1] == 0xFF) --n;
  return static_cast<uint32_t>(n);
}

uint32_t AdjustFirmwareSize(uint32_t size) {
  if (size % 2 != 0) ++size;
  if (size % 1000 == 0) size += 2;
  return size;
}

}  // namespace payload
