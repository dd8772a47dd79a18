// The payload sizes an update starts with, from the embedded buffers or from payload files.
#pragma once

#include <cstdint>
#include <string>

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
  };
  Outcome outcome = kOk;
  std::string Message;       // empty when ok; otherwise the text for a message box captioned kMessageCaption
  int32_t FirmwareSize = 0;  // adjusted (AdjustFirmwareSize)
  int32_t LoaderSize = 0;

  bool Ok() const { return outcome == kOk; }
};

// Sizes by run mode:
//  0: both from the embedded buffers;
//  3: loader from its buffer, firmware from the file at firmwarePath (opened into firmwareFile);
//  4: both from the files (opened into firmwareFile and loaderFile);
// the firmware size is adjusted in every mode. On success the files stay open, positioned at their end: every
// later use starts with Rewind. On failure no file is left open, nothing may be sent, and Message says why.
SizesResult ComputePayloadSizes(RunMode runMode, const std::string& firmwarePath,
                                const std::string& loaderPath, PayloadFile& firmwareFile,
                                PayloadFile& loaderFile);

}  // namespace payload
