#include "payload/PayloadSizes.h"

#include "payload/Buffers.h"
#include "payload/SizeRule.h"

namespace payload {
namespace {

// Sizes are 32-bit signed and the adjustment adds up to 3; anything near that is no firmware for an
// indicator.
constexpr uint64_t kMaxFileSize = 0x7FFFFFF0;

uint32_t SizeOfFile(PayloadFile& file, const std::string& path) {
  file.Open(path);
  SizeCounter counter;
  uint8_t byte;
  while (file.ReadByte(&byte) == 1) {
    counter.Add(byte);
    if (counter.BytesSeen() > kMaxFileSize) {
      throw IoError(path + ": too large for a payload (more than " + std::to_string(kMaxFileSize) +
                    " bytes)");
    }
  }
  return counter.Size();
}

}  // namespace

SizesResult ComputePayloadSizes(RunMode runMode, const std::string& firmwarePath,
                                const std::string& loaderPath, PayloadFile& firmwareFile,
                                PayloadFile& loaderFile) {
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
      firmware = SizeOfFile(firmwareFile, firmwarePath);
      if (LoaderFromFile(runMode)) {
        which = "loader";
        if (!PayloadFile::Exists(loaderPath)) {
          firmwareFile.Close();
          r.outcome = SizesResult::kMissingLoader;
          r.Message = "Can not open loadS19 file";
          return r;
        }
        loader = SizeOfFile(loaderFile, loaderPath);
      }
    } catch (const IoError& e) {
      firmwareFile.Close();
      loaderFile.Close();
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
