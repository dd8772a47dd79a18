// The payload sizes an update starts with, from the embedded buffers or from payload files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "payload/CommandLine.h"
#include "payload/PayloadFile.h"

namespace payload {

// Caption of the message boxes about payloads and builds.
inline constexpr char kMessageCaption[] = "Update Message";

struct SizesResult {
  enum Outcome {
    kOk,
    kMissingFirmware,  // "Can not open firmware file"
    kMissingLoader,    // "Can not open loadS19 file"
    kIoError,          // an existing file that cannot be opened or read, or is too large to count
    kRefused,  // a payload that can not be right: no firmware to send, a loader that is no S-record text
  };
  Outcome outcome = kOk;
  std::string Message;       // empty when ok; otherwise the text for a message box captioned kMessageCaption
  int32_t FirmwareSize = 0;  // adjusted (AdjustFirmwareSize)
  int32_t LoaderSize = 0;
  // A payload file as it was read, the one time it is read: its sizes above, and everything measured,
  // digested and sent later, come from these bytes. Empty for a payload from its buffer.
  std::vector<uint8_t> FirmwareFile;
  std::vector<uint8_t> LoaderFile;

  bool Ok() const { return outcome == kOk; }
};

// Sizes by run mode:
//  0: both from the embedded buffers;
//  3: loader from its buffer, firmware from the file at firmwarePath (read into FirmwareFile);
//  4: both from the files (read into FirmwareFile and LoaderFile);
// the firmware size is adjusted in every mode. A firmware of size 0 (nothing, or only 0xFF bytes) and a
// loader that is not S-record text are refused here, whichever their source, since an update would erase the
// indicator and then fail or call it a success. Each file is read once and closed: no handle outlives the
// call, so the file may be replaced, moved or removed during the update. On failure nothing may be sent, and
// Message says why.
// Why a firmware or a loader, as the bytes it would be sent from, can not be right; empty when it can. `what`
// names it for the message ("The firmware file fw.bin"). Also the builder's test, so that no copy carries
// one.
std::string FirmwareFault(const std::string& what, const uint8_t* data, size_t size);
std::string LoaderFault(const std::string& what, const uint8_t* data, size_t size);

SizesResult ComputePayloadSizes(RunMode runMode, const std::string& firmwarePath,
                                const std::string& loaderPath);

// The firmware alone, for the identify-only check: from the file (run modes 3 and 4), else from the buffer
// when it carries one; FirmwareSize 0 without either (the fit is then not checked). The loader is not
// looked at. The same refusals as above for the firmware.
SizesResult ComputeFirmwareSize(RunMode runMode, const std::string& firmwarePath);

}  // namespace payload
