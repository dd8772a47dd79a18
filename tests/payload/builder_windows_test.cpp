// The updater builder on Windows files: the payloads land in the PE section, the output replaces an older
// file through a file beside it, and the running program's own file is recognised under another spelling.
// A copy carries no certificate table, the header checksum that the system's own imagehlp computes, and in
// its version resource a description of what it carries.
#include <gtest/gtest.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, whose types they need.
#include <imagehlp.h>
#include <winver.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "payload/Builder.h"
#include "payload/Digest.h"
#include "payload/PayloadFile.h"
#include "tests/payload/digest_cases.h"
#include "tests/payload/test_files.h"

namespace payload {
namespace {

using payload_test::Bytes;
using payload_test::Pattern;
using payload_test::ReadFile;
using payload_test::WriteFile;

// The name in the program's version resource (app/win32/brae-version.rc.in, linked in), and a copy's
// description of what it carries.
const std::string kName = "Series Brae firmware update";
std::string Carries(const Bytes& b, const char* kind) {
  return kName + ": " + std::to_string(b.size()) + "-byte " + kind + ", SHA-256 " +
         HexOf(Sha256Of(b.data(), b.size()), 16);
}

// The file's description as Explorer reads it.
std::string Description(const std::string& path) {
  std::vector<char> info(GetFileVersionInfoSizeA(path.c_str(), nullptr) + 1);
  void* text = nullptr;
  UINT n = 0;
  GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data());
  VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\FileDescription", &text, &n);
  return text ? static_cast<const char*>(text) : "(none)";
}

class PayloadBuilderWindows : public ::testing::Test {
 protected:
  BuildResult Build(bool fw, bool ld, const std::string& target) {
    cl_ = CommandLine{.TargetName = target, .FirmwarePath = dir_ / "fw.bin", .LoaderPath = dir_ / "ld.s19"};
    return BuildUpdater(fw, ld, cl_);
  }
  // The running program with the payloads over its empty buffers, its description (the resource's name,
  // padded with spaces) what it carries and NULs, and its checksum as imagehlp makes it.
  Bytes Expected(const Bytes* loader, const Bytes* firmware) const {
    Bytes image = payload_test::WithPayloads(self_, static_cast<size_t>(at_), loader, firmware);
    Bytes own, says;
    for (char c : kName + " ") own.insert(own.end(), {static_cast<uint8_t>(c), 0});
    for (char c : firmware ? Carries(*firmware, "firmware") : Carries(*loader, "loader")) {
      says.insert(says.end(), {static_cast<uint8_t>(c), 0});
    }
    const auto at = std::search(image.begin(), image.end(), own.begin(), own.end());
    if (at == image.end()) return {};
    for (auto p = at; p[0] || p[1]; p += 2) p[0] = 0;
    std::copy(says.begin(), says.end(), at);
    return WithSystemCheckSum(image);
  }
  static Bytes WithSystemCheckSum(Bytes image) {
    DWORD stored = 0, sum = 0;
    IMAGE_NT_HEADERS* nt = CheckSumMappedFile(image.data(), static_cast<DWORD>(image.size()), &stored, &sum);
    if (!nt) return {};
    nt->OptionalHeader.CheckSum = sum;
    return image;
  }
  payload_test::TempDir dir_;
  CommandLine cl_;
  const Bytes self_ = ReadFile(SelfExecutablePath());
  const long at_ = payload_test::SelfLoaderOffset();
};

TEST_F(PayloadBuilderWindows, BuildsIntoTheSectionAndReplacesAnOlderCopy) {
  ASSERT_GT(at_, 0);
  const Bytes fw = Pattern(200000), ld = payload_test::Loader(3000, 2);
  WriteFile(dir_ / "fw.bin", fw);
  WriteFile(dir_ / "ld.s19", ld);
  WriteFile(dir_ / "Name.exe", Pattern(10));  // an older file of that name
  BuildResult r = Build(true, true, dir_ / "Name");
  ASSERT_TRUE(r.Ok) << r.Message;
  EXPECT_TRUE(ReadFile(dir_ / "Name.exe") == Expected(&ld, &fw));
  EXPECT_EQ(Description(dir_ / "Name.exe"), Carries(fw, "firmware"));
  // Backslashes, as a technician types them, reach the same place.
  std::string backslashed = dir_ / "Other";
  std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
  ASSERT_TRUE(Build(false, true, backslashed).Ok);
  EXPECT_TRUE(ReadFile(dir_ / "Other.exe") == Expected(&ld, nullptr));
  // Nothing is left beside the outputs.
  EXPECT_EQ(dir_.List(), (std::vector<std::string>{"Name.exe", "Other.exe", "fw.bin", "ld.s19"}));
}

TEST_F(PayloadBuilderWindows, ACopyOfASignedProgramComesUnsignedAndReadyToSign) {
  const Bytes fw = Pattern(5000, 5), ld = payload_test::Loader(900, 6);
  WriteFile(dir_ / "fw.bin", fw);
  WriteFile(dir_ / "ld.s19", ld);
  // The program as a signing tool leaves it: a certificate table at the end, named by its directory entry,
  // and a checksum of its own.
  Bytes signedSelf = self_;
  signedSelf.resize(self_.size() + 1032, 0x30);
  IMAGE_NT_HEADERS* nt = ImageNtHeader(signedSelf.data());
  ASSERT_NE(nt, nullptr);
  nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY] = {static_cast<DWORD>(self_.size()), 1032};
  nt->OptionalHeader.CheckSum = 0x12345678;
  WriteFile(dir_ / "Signed.exe", signedSelf);
  const struct {
    const char *parent, *copy;
    bool fw;
    Bytes expected;
  } cases[] = {
      {"Signed.exe", "A.exe", false, Expected(&ld, nullptr)},
      {"A.exe", "B.exe", true, Expected(&ld, &fw)},  // a copy of that copy
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parent);
    cl_ = CommandLine{
        .TargetName = dir_ / c.copy, .FirmwarePath = dir_ / "fw.bin", .LoaderPath = dir_ / "ld.s19"};
    BuildResult r = BuildUpdater(c.fw, true, cl_, dir_ / c.parent);
    ASSERT_TRUE(r.Ok) << r.Message;
    EXPECT_TRUE(ReadFile(dir_ / c.copy) == c.expected);
  }
}

TEST_F(PayloadBuilderWindows, TheDigestRecordRoundTripsInTheExe) {
  payload_test::ExpectKnownSha256();
  Bytes fw = Pattern(5000, 7), ld = payload_test::Loader(700, 8);
  fw.insert(fw.end(), {0xFF, 0xFF});
  WriteFile(dir_ / "fw.bin", fw);
  WriteFile(dir_ / "ld.s19", ld);
  ASSERT_TRUE(Build(true, true, dir_ / "Out").Ok);
  payload_test::ExpectDigestRoundTrip(ReadFile(dir_ / "Out.exe"), fw, ld);
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

// A UTF-8 path as the file system's own (the narrow calls would take it in the ANSI code page).
std::filesystem::path Native(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

void WriteNative(const std::string& utf8, const Bytes& b) {
  std::ofstream(Native(utf8), std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::ssize(b));
}

Bytes ReadNative(const std::string& utf8) {
  std::ifstream in(Native(utf8), std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(PayloadBuilderWindows, PathsWithLettersOfAnyScriptReachTheirFiles) {
  const struct {
    const char* folder;
    const char* stem;  // of the payload files and the copy
  } cases[] = {
      {"Pr\xc3\xbc"
       "fung",
       "fw \xc3\xbc"},  // "Prüfung": in the ANSI code page of Western Europe
      {"\xce\xbb\xcf\x8c\xce\xb3\xce\xbf\xcf\x82",
       "\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb"},                // Greek and Cyrillic: in no one code page
      {"\xe6\xb5\x8b\xe8\xaf\x95 \xf0\x9f\x94\xa7", "x"},  // Chinese and a pictograph beyond 16 bits
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.folder);
    const std::string folder = dir_ / k.folder, stem = folder + "\\" + k.stem;
    ASSERT_TRUE(std::filesystem::create_directory(Native(folder)));
    const Bytes fw = Pattern(5000, 3), ld = payload_test::Loader(700, 4);
    WriteNative(stem + ".bin", fw);
    WriteNative(stem + ".s19", ld);

    EXPECT_TRUE(PayloadFile::Exists(stem + ".bin"));
    EXPECT_FALSE(PayloadFile::Exists(folder));
    PayloadFile file;
    file.Open(stem + ".bin");
    Bytes read(fw.size() + 1);
    read.resize(file.Read(read.data(), read.size()));
    EXPECT_TRUE(read == fw);

    cl_ = CommandLine{.TargetName = stem, .FirmwarePath = stem + ".bin", .LoaderPath = stem + ".s19"};
    const BuildResult r = BuildUpdater(true, true, cl_);
    ASSERT_TRUE(r.Ok) << r.Message;
    EXPECT_EQ(r.OutputPath, stem + ".exe");
    EXPECT_TRUE(ReadNative(stem + ".exe") == Expected(&ld, &fw));
  }
  // A firmware file too long for its buffer is refused with its own size.
  const std::string big = dir_ / "gro\xc3\x9f.bin";
  WriteNative(big, Bytes(kFirmwareCopyLimit + 3, 1));
  cl_ = CommandLine{.TargetName = dir_ / "Big", .FirmwarePath = big, .LoaderPath = ""};
  const BuildResult r = BuildUpdater(true, false, cl_);
  EXPECT_FALSE(r.Ok);
  EXPECT_NE(r.Message.find("(" + std::to_string(kFirmwareCopyLimit + 3) + " bytes)"), std::string::npos)
      << r.Message;
}

}  // namespace
}  // namespace payload
