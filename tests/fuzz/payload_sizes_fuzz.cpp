// libFuzzer target: the size rule, the placement of a payload into a buffer that held another one, and
// ComputePayloadSizes over real payload files, which refuses exactly the firmware with nothing to send and
// the loader that is no S-record text. Input: one control byte (bit 0: run mode 4, else 3), two bytes of
// firmware length, the firmware, and the rest as the loader.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "payload/Buffers.h"
#include "payload/Builder.h"
#include "payload/PayloadSizes.h"
#include "payload/SRecord.h"
#include "payload/SizeRule.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// The size rule spelled the other way round: the position after the last byte that is not 0xFF.
uint32_t LastKept(const uint8_t* p, size_t n) {
  uint32_t size = 0;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0xFF) size = static_cast<uint32_t>(i + 1);
  }
  return size;
}

// A payload file in memory: no disk between runs, and a path like any other.
struct MemoryFile {
  int fd = -1;
  std::string path;
  explicit MemoryFile(const char* name) {
    fd = ::memfd_create(name, MFD_CLOEXEC);
    Check(fd >= 0);
    path = "/proc/self/fd/" + std::to_string(fd);
  }
  void Fill(const uint8_t* p, size_t n) {
    Check(::ftruncate(fd, 0) == 0);
    Check(n == 0 || ::pwrite(fd, p, n, 0) == static_cast<ssize_t>(n));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MemoryFile firmwareMemory("fw.bin"), loaderMemory("ld.s19");
  // Kept from run to run: each placement goes over the payload of the run before, as a rebuilt copy does.
  static uint8_t buffer[1024];
  // The embedded loader, taken in run mode 3: one end record, and the buffer's 0xFF fill.
  static const bool loaderFilled = [] {
    static const char kEnd[] = "S9030000FC\r\n";
    std::memset(payload::MutableLoaderBytes(), 0xFF, payload::kLoaderBufferSize);
    std::memcpy(payload::MutableLoaderBytes(), kEnd, sizeof kEnd - 1);
    return true;
  }();
  Check(loaderFilled);
  if (size < 3) return 0;
  const payload::RunMode runMode =
      (data[0] & 1) ? payload::RunMode::BothFiles : payload::RunMode::FirmwareFile;
  const size_t firmwareLength = std::min<size_t>(data[1] | data[2] << 8, size - 3);
  const uint8_t* firmware = data + 3;
  const uint8_t* loader = firmware + firmwareLength;
  const size_t loaderLength = size - 3 - firmwareLength;

  const uint32_t raw = LastKept(firmware, firmwareLength);
  Check(payload::SizeOf(firmware, firmwareLength) == raw);

  // Placed into a buffer that held another payload, it measures as itself.
  if (firmwareLength <= sizeof buffer) {
    payload::PlacePayload(buffer, sizeof buffer, firmware, firmwareLength);
    Check(std::memcmp(buffer, firmware, firmwareLength) == 0);
    Check(payload::SizeOf(buffer, sizeof buffer) == raw);
  }

  firmwareMemory.Fill(firmware, firmwareLength);
  loaderMemory.Fill(loader, loaderLength);
  const std::string& firmwarePath = firmwareMemory.path;
  const std::string& loaderPath = loaderMemory.path;
  const payload::SizesResult r = payload::ComputePayloadSizes(runMode, firmwarePath, loaderPath);
  const bool loaderFile = runMode == payload::RunMode::BothFiles;
  const bool loaderText =
      loaderFile ? payload::SRecordFault(loader, loaderLength).empty()
                 : payload::SRecordFault(payload::LoaderBytes(), payload::kLoaderBufferSize).empty();
  Check(r.Ok() == (raw != 0 && loaderText));
  if (!r.Ok()) {
    Check(r.outcome == payload::SizesResult::kRefused && r.FirmwareFile.empty() && r.LoaderFile.empty());
    return 0;
  }
  // The announced size: even, never a multiple of the 1000-byte block, at most 3 bytes over the payload, and
  // exactly the payload when that already is so.
  const int64_t announced = r.FirmwareSize;
  Check(announced % 2 == 0 && announced % 1000 != 0);
  Check(announced >= raw && announced <= int64_t{raw} + 3);
  if (raw % 2 == 0 && raw % 1000 != 0) Check(announced == raw);
  if (runMode == payload::RunMode::BothFiles)
    Check(r.LoaderSize == static_cast<int32_t>(LastKept(loader, loaderLength)));
  if (runMode == payload::RunMode::FirmwareFile) Check(r.LoaderSize == 12);

  // The bytes kept are the files' bytes, each read once.
  Check(r.FirmwareFile == std::vector<uint8_t>(firmware, firmware + firmwareLength));
  Check(runMode == payload::RunMode::BothFiles
            ? r.LoaderFile == std::vector<uint8_t>(loader, loader + loaderLength)
            : r.LoaderFile.empty());
  return 0;
}
