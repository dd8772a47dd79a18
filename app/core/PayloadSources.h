// The payload sources of an update, chosen once from the run mode: the embedded buffers, or the payload files
// that the sizing opened.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

#include "engine/Payloads.h"
#include "payload/Buffers.h"
#include "payload/CommandLine.h"
#include "payload/PayloadFile.h"

namespace app {

// A payload file read one byte a call (the user interface runs between bytes of the loader), rewound before
// each use. Its I/O errors are thrown to the engine.
class PayloadFileSource : public engine::IPayloadSource {
 public:
  explicit PayloadFileSource(payload::PayloadFile& file) : file_(file) {}
  void Rewind() override { file_.Rewind(); }
  int Read(uint8_t* out, int max) override { return max < 1 ? 0 : file_.ReadByte(out); }

 private:
  payload::PayloadFile& file_;
};

struct PayloadSources {
  std::unique_ptr<engine::IPayloadSource> Loader;
  std::unique_ptr<engine::IPayloadSource> Firmware;
};

// From a buffer the loader ends at its counted size; a loader file is sent whole. The firmware is cut at its
// announced size by the engine.
inline PayloadSources ChoosePayloadSources(payload::RunMode mode, uint32_t loaderSize,
                                           payload::PayloadFile& firmwareFile,
                                           payload::PayloadFile& loaderFile) {
  PayloadSources s;
  if (payload::LoaderFromFile(mode)) {
    s.Loader = std::make_unique<PayloadFileSource>(loaderFile);
  } else {
    s.Loader = std::make_unique<engine::BufferPayload>(
        payload::LoaderBytes(), std::min<size_t>(loaderSize, payload::kLoaderBufferSize));
  }
  if (payload::FirmwareFromFile(mode)) {
    s.Firmware = std::make_unique<PayloadFileSource>(firmwareFile);
  } else {
    s.Firmware =
        std::make_unique<engine::BufferPayload>(payload::FirmwareBytes(), payload::kFirmwareBufferSize);
  }
  return s;
}

}  // namespace app
