// The payload buffers and the digest record in the page (payload/Buffers.h). No builder patches a page's
// file, so they need not be initialised data: plain memory, given its empty markers at start-up, keeps a
// megabyte of 0xFF out of the download.
#include <cstring>

#include "payload/Buffers.h"
#include "payload/Digest.h"

extern "C" {
alignas(64) uint8_t LoaderBuffer[payload::kLoaderBufferSize / payload::kRowSize][payload::kRowSize];
alignas(64) uint8_t FirmwareBuffer[payload::kFirmwareBufferSize / payload::kRowSize][payload::kRowSize];
alignas(64) uint8_t DigestRecord[payload::kDigestRecordSize];
}

namespace {

// Before any other start-up code of the program can look at the buffers.
__attribute__((constructor(101))) void MarkBuffersEmpty() {
  using namespace payload;
  std::memset(LoaderBuffer, 0xFF, sizeof LoaderBuffer);
  std::memset(LoaderBuffer, kLoaderMarkerByte, kLoaderMarkerLength);
  std::memset(FirmwareBuffer, 0xFF, sizeof FirmwareBuffer);
  std::memset(FirmwareBuffer, kFirmwareMarkerByte, kFirmwareMarkerLength);
  std::memset(DigestRecord, 0, sizeof DigestRecord);
}

}  // namespace
