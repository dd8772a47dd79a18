// The payload files as the engine reads them in the file run modes: two payload files, opened when their
// sizes were computed, rewound before each use.
#pragma once

#include "engine/Reporting.h"
#include "payload/PayloadFile.h"

namespace engine {

class PayloadFileSource : public IPayloadFiles {
 public:
  PayloadFileSource(payload::PayloadFile& firmware, payload::PayloadFile& loader)
      : firmware_(firmware), loader_(loader) {}
  int ReadFirmwareByte(uint8_t* byte) override { return firmware_.ReadByte(byte); }
  int ReadLoaderByte(uint8_t* byte) override { return loader_.ReadByte(byte); }
  void RewindFirmwareFile() override { firmware_.Rewind(); }
  void RewindLoaderFile() override { loader_.Rewind(); }

 private:
  payload::PayloadFile& firmware_;
  payload::PayloadFile& loader_;
};

}  // namespace engine
