// The payload sources of an update, chosen once from the run mode: the embedded buffers, or the payload files
// as the sizing read them, so that the image sent is the image measured whatever happens to the files during
// the update.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/Payloads.h"
#include "payload/Buffers.h"
#include "payload/CommandLine.h"
#include "payload/Digest.h"

namespace app {

// A payload file as it was when the update started, delivering at most `piece` bytes a read (one for the
// loader, so the user interface runs between its bytes as it does for a file).
class SnapshotSource : public engine::IPayloadSource {
 public:
  SnapshotSource(std::vector<uint8_t> bytes, int piece)
      : bytes_(std::move(bytes)), view_(bytes_.data(), bytes_.size()), piece_(piece) {}
  void Rewind() override { view_.Rewind(); }
  int Read(uint8_t* out, int max) override { return view_.Read(out, std::min(max, piece_)); }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  engine::BufferPayload view_;
  int piece_;
};

struct PayloadSources {
  std::unique_ptr<engine::IPayloadSource> Loader;
  std::unique_ptr<engine::IPayloadSource> Firmware;
  // The SHA-256 of a payload file's snapshot, the bytes that are sent; zeros for a buffer (its digest comes
  // from the check against the copy's record, payload/Digest.h).
  payload::Sha256 LoaderSha256{};
  payload::Sha256 FirmwareSha256{};
};

// From a buffer the loader ends at its counted size; a loader file is sent whole. The firmware is cut at its
// announced size by the engine. The files' bytes are those payload::ComputePayloadSizes read and measured.
inline PayloadSources ChoosePayloadSources(payload::RunMode mode, uint32_t loaderSize,
                                           std::vector<uint8_t> firmwareFile,
                                           std::vector<uint8_t> loaderFile) {
  PayloadSources s;
  if (payload::LoaderFromFile(mode)) {
    s.LoaderSha256 = payload::Sha256Of(loaderFile.data(), loaderFile.size());
    s.Loader = std::make_unique<SnapshotSource>(std::move(loaderFile), 1);
  } else {
    s.Loader = std::make_unique<engine::BufferPayload>(
        payload::LoaderBytes(), std::min<size_t>(loaderSize, payload::kLoaderBufferSize));
  }
  if (payload::FirmwareFromFile(mode)) {
    s.FirmwareSha256 = payload::Sha256Of(firmwareFile.data(), firmwareFile.size());
    s.Firmware = std::make_unique<SnapshotSource>(std::move(firmwareFile), 1 << 30);
  } else {
    s.Firmware =
        std::make_unique<engine::BufferPayload>(payload::FirmwareBytes(), payload::kFirmwareBufferSize);
  }
  return s;
}

// The bytes behind a source chosen above, for readers of their own (the ports of a batch); none for a source
// of another kind.
inline std::pair<const uint8_t*, size_t> BytesOf(engine::IPayloadSource& source) {
  if (auto* snapshot = dynamic_cast<SnapshotSource*>(&source)) {
    return {snapshot->Bytes().data(), snapshot->Bytes().size()};
  }
  if (auto* buffer = dynamic_cast<engine::BufferPayload*>(&source)) return {buffer->Data(), buffer->Size()};
  return {nullptr, 0};
}

}  // namespace app
