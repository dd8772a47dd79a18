// A PNG file from 24-bit pixels: truecolour, no filter, the image data deflated with the fixed codes of the
// format and back-references found through a hash of three bytes. Windows pictures (flat colours, rows that
// repeat) shrink well that way, and no image library is needed for the documentation's window pictures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace shots {

// `rgb` holds height rows of width pixels, three bytes each (red, green, blue), top row first.
std::string EncodePng(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb);

// A zlib stream of `data`: one deflate block with the fixed codes, and the Adler-32.
std::string Deflate(const std::vector<uint8_t>& data);

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0);
uint32_t Adler32(const uint8_t* data, size_t size);

}  // namespace shots
