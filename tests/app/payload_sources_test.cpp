// Which payload sources each update run mode hands to the engine, and what they deliver.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/core/PayloadSources.h"
#include "payload/PayloadSizes.h"
#include "tests/support/files.h"
#include "tests/support/payloads.h"

namespace {

using payload::RunMode;

// Everything a source delivers from its start, and the largest single read.
std::pair<std::string, int> ReadAll(engine::IPayloadSource& source) {
  source.Rewind();
  std::string all;
  int largest = 0;
  uint8_t piece[64];
  for (int n; (n = source.Read(piece, static_cast<int>(sizeof piece))) > 0;) {
    all.append(reinterpret_cast<const char*>(piece), static_cast<size_t>(n));
    largest = std::max(largest, n);
  }
  return {all, largest};
}

class PayloadSources : public ::testing::Test {
 protected:
  PayloadSources()
      : savedLoader(payload::LoaderBytes(), payload::LoaderBytes() + payload::kLoaderBufferSize),
        savedFirmware(payload::FirmwareBytes(), payload::FirmwareBytes() + payload::kFirmwareBufferSize) {
    const std::string image = testing_support::FirmwareImage(payload::kLoaderBufferSize, 3);
    std::memcpy(payload::MutableLoaderBytes(), image.data(), image.size());
    std::memcpy(payload::MutableFirmwareBytes(), image.data(), image.size());
  }
  ~PayloadSources() override {
    std::memcpy(payload::MutableLoaderBytes(), savedLoader.data(), savedLoader.size());
    std::memcpy(payload::MutableFirmwareBytes(), savedFirmware.data(), savedFirmware.size());
  }
  std::string Loader(size_t n) const {
    return std::string(reinterpret_cast<const char*>(payload::LoaderBytes()), n);
  }

  std::vector<uint8_t> savedLoader, savedFirmware;
  static std::vector<uint8_t> BytesOf(const std::string& s) { return {s.begin(), s.end()}; }

  const std::string fileFirmware = "firmware from the file";
  const std::string fileLoader = testing_support::LoaderText(64) + std::string(5, '\xFF');  // sent whole
};

TEST_F(PayloadSources, EachUpdateModeTakesEachPayloadFromItsPlace) {
  struct Case {
    RunMode mode;
    uint32_t loaderSize;
    bool loaderFromFile, firmwareFromFile;
    size_t bufferLoaderBytes;  // when the loader comes from its buffer
  } cases[] = {
      {RunMode::Embedded, 1500, false, false, 1500},
      {RunMode::Embedded, 0, false, false, 0},
      {RunMode::Embedded, 70000, false, false, 64000},  // never past the buffer
      {RunMode::FirmwareFile, 64000, false, true, 64000},
      {RunMode::BothFiles, 9, true, true, 0},  // a file is not cut at the counted size
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(payload::Number(c.mode));
    app::PayloadSources s =
        app::ChoosePayloadSources(c.mode, c.loaderSize, BytesOf(fileFirmware), BytesOf(fileLoader));
    ASSERT_TRUE(s.Loader && s.Firmware);
    const auto [loader, loaderPiece] = ReadAll(*s.Loader);
    EXPECT_EQ(c.loaderFromFile ? fileLoader : Loader(c.bufferLoaderBytes), loader);
    // A file gives one byte a read, so the window stays alive between bytes of the upload.
    if (c.loaderFromFile) {
      EXPECT_EQ(1, loaderPiece);
    }
    const auto [firmware, firmwarePiece] = ReadAll(*s.Firmware);
    if (c.firmwareFromFile) {
      EXPECT_EQ(fileFirmware, firmware);
    } else {
      EXPECT_EQ(payload::kFirmwareBufferSize, firmware.size());  // the engine stops at the announced size
      EXPECT_EQ(0, std::memcmp(firmware.data(), payload::FirmwareBytes(), firmware.size()));
    }
    // A file's digest is of the bytes sent; a buffer's comes from its own check.
    auto digestOf = [](bool fromFile, const std::string& bytes) {
      return fromFile ? payload::Sha256Of(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())
                      : payload::Sha256{};
    };
    EXPECT_EQ(digestOf(c.firmwareFromFile, fileFirmware), s.FirmwareSha256);
    EXPECT_EQ(digestOf(c.loaderFromFile, fileLoader), s.LoaderSha256);
    // Read again from the start after a rewind.
    EXPECT_EQ(loader, ReadAll(*s.Loader).first);
  }
}

TEST_F(PayloadSources, WhatIsSentIsTheFileAsReadWhateverHappensToItLater) {
  testing_support::TempDir dir;
  testing_support::WriteFile(dir / "fw.bin", fileFirmware);
  testing_support::WriteFile(dir / "ld.s19", fileLoader);
  payload::SizesResult sizes =
      payload::ComputePayloadSizes(RunMode::BothFiles, dir / "fw.bin", dir / "ld.s19");
  ASSERT_TRUE(sizes.Ok()) << sizes.Message;
  app::PayloadSources s =
      app::ChoosePayloadSources(RunMode::BothFiles, static_cast<uint32_t>(sizes.LoaderSize),
                                std::move(sizes.FirmwareFile), std::move(sizes.LoaderFile));
  testing_support::WriteFile(dir / "fw.bin", "short");  // rewritten in place
  std::filesystem::remove(dir / "ld.s19");
  EXPECT_EQ(fileFirmware, ReadAll(*s.Firmware).first);
  EXPECT_EQ(fileLoader, ReadAll(*s.Loader).first);
}

TEST(RunModes, PredicatesByNumber) {
  struct Case {
    int number;
    bool builds, embedsFirmware, embedsLoader, firmwareFile, loaderFile;
  } cases[] = {
      {0, false, false, false, false, false}, {1, true, true, false, false, false},
      {2, true, true, true, false, false},    {3, false, false, false, true, false},
      {4, false, false, false, true, true},   {5, true, false, true, false, false},
  };
  for (const Case& c : cases) {
    const auto m = static_cast<RunMode>(c.number);
    SCOPED_TRACE(c.number);
    EXPECT_EQ(c.builds, payload::BuildsUpdater(m));
    EXPECT_EQ(c.embedsFirmware, payload::EmbedsFirmware(m));
    EXPECT_EQ(c.embedsLoader, payload::EmbedsLoader(m));
    EXPECT_EQ(c.firmwareFile, payload::FirmwareFromFile(m));
    EXPECT_EQ(c.loaderFile, payload::LoaderFromFile(m));
  }
}

}  // namespace
