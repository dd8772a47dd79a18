// The updater builder on Windows files: the payloads land in the PE section, the output replaces an older
// file through a file beside it, and the running program's own file is recognised under another spelling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "payload/Builder.h"
#include "tests/payload/test_files.h"

namespace payload {
namespace {

using payload_test::Bytes;
using payload_test::Pattern;
using payload_test::ReadFile;
using payload_test::WriteFile;

class PayloadBuilderWindows : public ::testing::Test {
 protected:
  BuildResult Build(bool fw, bool ld, const std::string& target) {
    cl_ = CommandLine{.TargetName = target, .FirmwarePath = dir_ / "fw.bin", .LoaderPath = dir_ / "ld.s19"};
    return BuildUpdater(fw, ld, cl_);
  }
  // The running program with the payloads over its empty buffers.
  Bytes Expected(const Bytes* loader, const Bytes* firmware) const {
    Bytes b = self_;
    if (loader) {
      std::fill_n(b.begin() + at_, kLoaderBufferSize, 0xFF);
      std::copy(loader->begin(), loader->end(), b.begin() + at_);
    }
    if (firmware) {
      std::fill_n(b.begin() + at_ + kLoaderBufferSize, kFirmwareBufferSize, 0xFF);
      std::copy(firmware->begin(), firmware->end(), b.begin() + at_ + kLoaderBufferSize);
    }
    return b;
  }
  payload_test::TempDir dir_;
  CommandLine cl_;
  const Bytes self_ = ReadFile(SelfExecutablePath());
  const long at_ = payload_test::SelfLoaderOffset();
};

TEST_F(PayloadBuilderWindows, BuildsIntoTheSectionAndReplacesAnOlderCopy) {
  ASSERT_GT(at_, 0);
  const Bytes fw = Pattern(200000), ld = Pattern(3000, 2);
  WriteFile(dir_ / "fw.bin", fw);
  WriteFile(dir_ / "ld.s19", ld);
  WriteFile(dir_ / "Name.exe", Pattern(10));  // an older file of that name
  BuildResult r = Build(true, true, dir_ / "Name");
  ASSERT_TRUE(r.Ok) << r.Message;
  EXPECT_TRUE(ReadFile(dir_ / "Name.exe") == Expected(&ld, &fw));
  // Backslashes, as a technician types them, reach the same place.
  std::string backslashed = dir_ / "Other";
  std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
  ASSERT_TRUE(Build(false, true, backslashed).Ok);
  EXPECT_TRUE(ReadFile(dir_ / "Other.exe") == Expected(&ld, nullptr));
  // Nothing is left beside the outputs.
  EXPECT_EQ(dir_.List(), (std::vector<std::string>{"Name.exe", "Other.exe", "fw.bin", "ld.s19"}));
}

TEST_F(PayloadBuilderWindows, RefusesItsOwnFileUnderAnotherSpellingAndWritesNothing) {
  WriteFile(dir_ / "fw.bin", Pattern(10));
  std::string self = SelfExecutablePath();
  // Upper case but for the ".exe" that keeps the name as it is.
  std::transform(self.begin(), self.end() - 4, self.begin(), [](unsigned char c) { return std::toupper(c); });
  BuildResult r = Build(true, false, self);
  EXPECT_FALSE(r.Ok);
  EXPECT_EQ(r.Message, self + " is this updater's own file; choose another name");
  r = Build(true, false, dir_ / "none/N");
  EXPECT_FALSE(r.Ok);
  EXPECT_EQ(
      r.Message.rfind("Can not write " + (dir_ / "none/N.exe") + ": can not create a file beside it: ", 0),
      0u)
      << r.Message;
  EXPECT_EQ(dir_.List(), (std::vector<std::string>{"fw.bin"}));
}

}  // namespace
}  // namespace payload
