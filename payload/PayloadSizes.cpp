#include "payload/PayloadSizes.h"

#include <new>

#include "payload/Buffers.h"
#include "payload/OsFile.h"
#include "payload/SizeRule.h"

namespace payload {
namespace {

// Sizes are 32-bit signed and the adjustment adds up to 3; anything near that is no firmware for an
// indicator.
constexpr uint64_t kMaxFileSize = 0x7FFFFFF0;

IoError TooLarge(const std::string& path) {
  return IoError(path + ": too large for a payload (more than " + std::to_string(kMaxFileSize) + " bytes)");
}

// The whole file, read once. Its size on disk refuses a huge file before anything is read; the count while
// reading refuses one that grows. Room for one piece more than the file holds, so that the read that finds
// its end does not move the bytes read so far.
std::vector<uint8_t> ReadPayloadFile(const std::string& path) {
  uint64_t onDisk = 0;
  if (RegularFileSize(path, &onDisk) && onDisk > kMaxFileSize) throw TooLarge(path);
  PayloadFile file;
  file.Open(path);
  constexpr size_t kPiece = PayloadFile::kBufferSize;
  try {
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(onDisk) + kPiece);
    for (;;) {
      const size_t at = bytes.size();
      bytes.resize(at + kPiece);
      const size_t n = file.Read(bytes.data() + at, kPiece);
      bytes.resize(at + n);
      if (bytes.size() > kMaxFileSize) throw TooLarge(path);
      if (n < kPiece) return bytes;  // fewer only at the end of the file
    }
  } catch (const std::bad_alloc&) {
    throw IoError(path + ": not enough memory to hold it (" + std::to_string(onDisk) + " bytes)");
  }
}

}  // namespace

SizesResult ComputePayloadSizes(RunMode runMode, const std::string& firmwarePath,
                                const std::string& loaderPath) {
  SizesResult r;
  uint32_t firmware = 0;
  uint32_t loader = 0;
  if (runMode == RunMode::Embedded) {
    firmware = SizeOf(FirmwareBytes(), kFirmwareBufferSize);
    loader = SizeOf(LoaderBytes(), kLoaderBufferSize);
  } else if (FirmwareFromFile(runMode)) {
    if (!LoaderFromFile(runMode)) loader = SizeOf(LoaderBytes(), kLoaderBufferSize);
    const char* which = "firmware";
    try {
      if (!PayloadFile::Exists(firmwarePath)) {
        r.outcome = SizesResult::kMissingFirmware;
        r.Message = "Can not open firmware file";
        return r;
      }
      r.FirmwareFile = ReadPayloadFile(firmwarePath);
      firmware = SizeOf(r.FirmwareFile.data(), r.FirmwareFile.size());
      if (LoaderFromFile(runMode)) {
        which = "loader";
        if (!PayloadFile::Exists(loaderPath)) {
          r = SizesResult{};
          r.outcome = SizesResult::kMissingLoader;
          r.Message = "Can not open loadS19 file";
          return r;
        }
        r.LoaderFile = ReadPayloadFile(loaderPath);
        loader = SizeOf(r.LoaderFile.data(), r.LoaderFile.size());
      }
    } catch (const IoError& e) {
      r = SizesResult{};
      r.outcome = SizesResult::kIoError;
      r.Message = std::string("Can not read ") + which + " file " + e.what();
      return r;
    }
  }
  r.FirmwareSize = static_cast<int32_t>(AdjustFirmwareSize(firmware));
  r.LoaderSize = static_cast<int32_t>(loader);
  return r;
}

}  // namespace payload
