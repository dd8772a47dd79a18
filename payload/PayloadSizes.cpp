#include "payload/PayloadSizes.h"

#include <new>

#include "payload/Buffers.h"
#include "payload/OsFile.h"
#include "payload/SRecord.h"
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

namespace {

// The refusal of a firmware of `size` bytes whose counted size is 0.
std::string NoFirmware(const std::string& what, size_t size) {
  return what + (size == 0 ? " is empty" : " holds only 0xFF bytes") +
         ": there is no firmware to send, and an update would only erase the indicator";
}

}  // namespace

std::string FirmwareFault(const std::string& what, const uint8_t* data, size_t size) {
  return SizeOf(data, size) != 0 ? std::string() : NoFirmware(what, size);
}

std::string LoaderFault(const std::string& what, const uint8_t* data, size_t size) {
  const std::string why = SRecordFault(data, size);
  if (why.empty()) return {};
  return what + " is not S-record text (" + why + "): the indicator's boot loader could not take it";
}

std::string WhyNotOpen(const std::string& path) {
  if (path.empty()) return ": no file was named";
  try {
    PayloadFile probe;
    probe.Open(path);
  } catch (const IoError& e) {
    return std::string(": ") + e.what();
  }
  return ": " + path;
}

namespace {

// The firmware file read whole into r.FirmwareFile; false, with r saying why, when it can not be.
bool ReadFirmwareFile(const std::string& path, SizesResult& r) {
  try {
    if (!PayloadFile::Exists(path)) {
      r.outcome = SizesResult::kMissingFirmware;
      r.Message = "Can not open firmware file" + WhyNotOpen(path);
      return false;
    }
    r.FirmwareFile = ReadPayloadFile(path);
    return true;
  } catch (const IoError& e) {
    r = SizesResult{};
    r.outcome = SizesResult::kIoError;
    r.Message = std::string("Can not read firmware file ") + e.what();
    return false;
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
    if (!ReadFirmwareFile(firmwarePath, r)) return r;
    firmware = SizeOf(r.FirmwareFile.data(), r.FirmwareFile.size());
    try {
      if (LoaderFromFile(runMode)) {
        if (!PayloadFile::Exists(loaderPath)) {
          r = SizesResult{};
          r.outcome = SizesResult::kMissingLoader;
          r.Message = "Can not open loadS19 file" + WhyNotOpen(loaderPath);
          return r;
        }
        r.LoaderFile = ReadPayloadFile(loaderPath);
        loader = SizeOf(r.LoaderFile.data(), r.LoaderFile.size());
      }
    } catch (const IoError& e) {
      r = SizesResult{};
      r.outcome = SizesResult::kIoError;
      r.Message = std::string("Can not read loader file ") + e.what();
      return r;
    }
  }
  // The bytes the update would send: a loader file whole, the buffer up to its counted size. A firmware
  // counted above is not counted again (a whole MiB embedded).
  std::string fault;
  if (FirmwareFromFile(runMode)) {
    if (firmware == 0) fault = NoFirmware("The firmware file " + firmwarePath, r.FirmwareFile.size());
  } else if (runMode == RunMode::Embedded) {
    if (firmware == 0) fault = NoFirmware("The embedded firmware", kFirmwareBufferSize);
  } else {
    fault = FirmwareFault("The embedded firmware", FirmwareBytes(), kFirmwareBufferSize);
  }
  if (fault.empty()) {
    fault = LoaderFromFile(runMode)
                ? LoaderFault("The loader file " + loaderPath, r.LoaderFile.data(), r.LoaderFile.size())
                : LoaderFault("The embedded loader", LoaderBytes(), loader);
  }
  if (!fault.empty()) {
    r = SizesResult{};
    r.outcome = SizesResult::kRefused;
    r.Message = fault;
    return r;
  }
  r.FirmwareSize = static_cast<int32_t>(AdjustFirmwareSize(firmware));
  r.LoaderSize = static_cast<int32_t>(loader);
  return r;
}

}  // namespace payload

namespace payload {

SizesResult ComputeFirmwareSize(RunMode runMode, const std::string& firmwarePath) {
  SizesResult r;
  uint32_t firmware = 0;
  std::string fault;
  if (FirmwareFromFile(runMode)) {
    if (!ReadFirmwareFile(firmwarePath, r)) return r;
    firmware = SizeOf(r.FirmwareFile.data(), r.FirmwareFile.size());
    if (firmware == 0) fault = NoFirmware("The firmware file " + firmwarePath, r.FirmwareFile.size());
  } else if (!FirmwareBufferEmpty()) {
    firmware = SizeOf(FirmwareBytes(), kFirmwareBufferSize);
    if (firmware == 0) fault = NoFirmware("The embedded firmware", kFirmwareBufferSize);
  }
  if (!fault.empty()) {
    r = SizesResult{};
    r.outcome = SizesResult::kRefused;
    r.Message = fault;
    return r;
  }
  r.FirmwareSize = firmware == 0 ? 0 : static_cast<int32_t>(AdjustFirmwareSize(firmware));
  return r;
}

}  // namespace payload
