// Payload files for engine tests: plain reads of real files, rewound by reopening.
#pragma once

#include <fstream>
#include <stdexcept>
#include <string>

#include "engine/Reporting.h"

namespace testing_support {

class FilePayloads : public engine::IPayloadFiles {
 public:
  FilePayloads(std::string firmwarePath, std::string loaderPath)
      : firmwarePath_(std::move(firmwarePath)), loaderPath_(std::move(loaderPath)) {}
  int ReadFirmwareByte(uint8_t* byte) override { return Read(firmware_, byte); }
  int ReadLoaderByte(uint8_t* byte) override { return Read(loader_, byte); }
  void RewindFirmwareFile() override { Reopen(firmware_, firmwarePath_); }
  void RewindLoaderFile() override { Reopen(loader_, loaderPath_); }
  int rewinds = 0;

 private:
  static int Read(std::ifstream& f, uint8_t* byte) {
    const int c = f.get();
    if (c == std::char_traits<char>::eof()) return 0;
    *byte = static_cast<uint8_t>(c);
    return 1;
  }
  void Reopen(std::ifstream& f, const std::string& path) {
    ++rewinds;
    f.close();
    f.clear();
    f.open(path, std::ios::binary);
    if (!f) throw std::runtime_error(path + ": cannot open");
  }
  std::string firmwarePath_, loaderPath_;
  std::ifstream firmware_, loader_;
};

}  // namespace testing_support
