// Payload files, and the sizes an update starts with in run modes 0, 3 and 4.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "payload/Buffers.h"
#include "payload/PayloadFile.h"
#include "payload/PayloadSizes.h"
#include "tests/payload/test_files.h"
#include "tests/support/payloads.h"

namespace payload {
namespace {

using payload_test::Bytes;
using payload_test::Pattern;
using payload_test::WriteFile;

uint64_t ReadCalls() {
  std::ifstream io("/proc/self/io");
  std::string key;
  for (uint64_t value; io >> key >> value;) {
    if (key == "syscr:") return value;
  }
  return 0;
}

size_t OpenHandles() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

Bytes ReadAll(PayloadFile& f) {
  Bytes out;
  for (uint8_t b; f.ReadByte(&b) == 1;) out.push_back(b);
  return out;
}

std::string OpenError(const std::string& path) {
  try {
    PayloadFile().Open(path);
  } catch (const IoError& e) {
    return e.what();
  }
  return "opened";
}

class PayloadFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    // Opens, then fails every read with EIO: this process's memory at address 0.
    ASSERT_EQ(::symlink("/proc/self/mem", (dir_ / "unreadable").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  }
  payload_test::TempDir dir_;
};

TEST_F(PayloadFiles, ReadThroughABufferAndRewound) {
  Bytes content = Pattern(3 * PayloadFile::kBufferSize + 17);
  WriteFile(dir_ / "fw.bin", content);
  PayloadFile f;
  f.Open(dir_ / "fw.bin");
  uint64_t before = ReadCalls();
  EXPECT_EQ(ReadAll(f), content);
  EXPECT_LE(ReadCalls() - before, 6u);
  uint8_t b;
  EXPECT_EQ(f.ReadByte(&b), 0);  // the end stays the end

  f.Rewind();
  Bytes part(100);
  EXPECT_EQ(f.Read(part.data(), part.size()), 100u);
  f.Rewind();  // drops what was buffered
  EXPECT_EQ(ReadAll(f), content);

  f.Close();
  f.Close();
  EXPECT_FALSE(f.IsOpen());
  EXPECT_THROW(f.ReadByte(&b), IoError);
  EXPECT_THROW(f.Rewind(), IoError);
}

TEST_F(PayloadFiles, OnlyRegularFilesAndErrorsSayWhichAndWhy) {
  WriteFile(dir_ / "fw.bin", {1});
  EXPECT_TRUE(PayloadFile::Exists(dir_ / "fw.bin"));
  for (std::string path : {std::string(), dir_ / "missing", dir_.path, dir_ / "fifo"}) {
    EXPECT_FALSE(PayloadFile::Exists(path)) << path;
  }
  EXPECT_EQ(OpenError(dir_ / "missing"), dir_ / "missing: No such file or directory");
  EXPECT_EQ(OpenError(""), "(no file name): No such file or directory");
  EXPECT_EQ(OpenError(dir_ / "fifo"), dir_ / "fifo: not a regular file");  // and no wait for a writer

  PayloadFile f;
  f.Open(dir_ / "unreadable");
  uint8_t b;
  try {
    f.ReadByte(&b);
    ADD_FAILURE();
  } catch (const IoError& e) {
    EXPECT_EQ(std::string(e.what()), dir_ / "unreadable: read error: Input/output error");
  }
}

TEST_F(PayloadFiles, SizesByRunMode) {
  Bytes loader(LoaderBytes(), LoaderBytes() + kLoaderBufferSize);
  Bytes firmware(FirmwareBytes(), FirmwareBytes() + kFirmwareBufferSize);
  const std::string text = testing_support::LoaderText(600), shortText = testing_support::LoaderText(200);
  const int32_t embedded = static_cast<int32_t>(text.size()),
                fromFile = static_cast<int32_t>(shortText.size());
  std::memset(MutableLoaderBytes(), 0xFF, kLoaderBufferSize);
  std::memcpy(MutableLoaderBytes(), text.data(), text.size());
  std::memset(MutableFirmwareBytes(), 0xFF, kFirmwareBufferSize);
  std::memcpy(MutableFirmwareBytes(), Pattern(2001).data(), 2001);
  Bytes inner = Pattern(5000);
  inner[10] = 0xFF;
  inner.insert(inner.end(), 100, 0xFF);
  WriteFile(dir_ / "999", Pattern(999));
  WriteFile(dir_ / "1998", Pattern(1998));
  WriteFile(dir_ / "inner", inner);
  WriteFile(dir_ / "ld.s19", Bytes(shortText.begin(), shortText.end()));
  Bytes big = Pattern(3 * PayloadFile::kBufferSize + 17);  // several reads' pieces
  big.back() = 0x01;
  WriteFile(dir_ / "big", big);

  struct Case {
    int mode;
    std::string fw, ld;
    int32_t firmware, loader;
    bool fwRead, ldRead;  // the file's bytes are kept
  } cases[] = {
      {0, "", "", 2002, embedded, false, false},
      {3, dir_ / "999", "", 1002, embedded, true, false},
      {3, dir_ / "1998", "x", 1998, embedded, true, false},
      {4, dir_ / "inner", dir_ / "ld.s19", 5002, fromFile, true, true},
      {3, dir_ / "big", "", 3 * 65536 + 18, embedded, true, false},
  };
  for (const Case& c : cases) {
    const size_t handles = OpenHandles();
    ASSERT_GT(ReadCalls(), 0u) << "no read count in /proc/self/io";
    const uint64_t probe = ReadCalls();
    const uint64_t ownReads = ReadCalls() - probe;  // reading the count takes reads of its own
    const uint64_t reads = ReadCalls();
    SizesResult r = ComputePayloadSizes(static_cast<RunMode>(c.mode), c.fw, c.ld);
    // Each file is read once: a read a piece, then the one that finds its end.
    auto readsOf = [](bool read, const std::string& path) {
      return read ? std::filesystem::file_size(path) / PayloadFile::kBufferSize + 2 : 0;
    };
    EXPECT_LE(ReadCalls() - reads - ownReads, readsOf(c.fwRead, c.fw) + readsOf(c.ldRead, c.ld));
    EXPECT_TRUE(r.Ok()) << r.Message;
    EXPECT_EQ(r.FirmwareSize, c.firmware) << c.fw;
    EXPECT_EQ(r.LoaderSize, c.loader);
    EXPECT_EQ(r.FirmwareFile, c.fwRead ? payload_test::ReadFile(c.fw) : Bytes{}) << c.fw;
    EXPECT_EQ(r.LoaderFile, c.ldRead ? payload_test::ReadFile(c.ld) : Bytes{});
    // Held for the whole update: no more room than one read's piece beyond the file.
    EXPECT_LE(r.FirmwareFile.capacity(), r.FirmwareFile.size() + PayloadFile::kBufferSize);
    EXPECT_LE(r.LoaderFile.capacity(), r.LoaderFile.size() + PayloadFile::kBufferSize);
    EXPECT_EQ(OpenHandles(), handles) << "no file stays open for the update";
  }
  std::memcpy(MutableLoaderBytes(), loader.data(), loader.size());
  std::memcpy(MutableFirmwareBytes(), firmware.data(), firmware.size());
}

TEST_F(PayloadFiles, NoUpdateStartsWithoutReadablePayloadFiles) {
  std::string fw = dir_ / "fw.bin", bad = dir_ / "unreadable", none = dir_ / "none", ff = dir_ / "ff",
              empty = dir_ / "empty", text = dir_ / "notes.txt", ld = dir_ / "ld.s19";
  WriteFile(fw, Pattern(10));
  WriteFile(ff, Bytes(700, 0xFF));
  WriteFile(empty, {});
  WriteFile(text, {'h', 'i', '\n'});
  const std::string loader = testing_support::LoaderText(64);
  WriteFile(ld, Bytes(loader.begin(), loader.end()));
  const std::string erase = ": there is no firmware to send, and an update would only erase the indicator";
  const std::string noText =
      " is not S-record text (line 1: does not begin with a record type S0 to S9): the "
      "indicator's boot loader could not take it";
  Bytes embedded(LoaderBytes(), LoaderBytes() + kLoaderBufferSize);
  std::memcpy(MutableLoaderBytes(), "hi\n", 3);
  const std::string ioError = ": read error: Input/output error";
  const std::string noSuch = ": No such file or directory";
  struct Case {
    int mode;
    std::string fw, ld, message;
  } cases[] = {
      // Which file, and why it does not open.
      {3, none, "", "Can not open firmware file: " + none + noSuch},
      {3, "", "", "Can not open firmware file: no file was named"},
      {3, dir_.path, "", "Can not open firmware file: " + dir_.path + ": not a regular file"},
      {4, none, none, "Can not open firmware file: " + none + noSuch},  // the loader is not looked at
      {4, fw, none, "Can not open loadS19 file: " + none + noSuch},
      {4, fw, "", "Can not open loadS19 file: no file was named"},
      {3, bad, "", "Can not read firmware file " + bad + ioError},
      {4, fw, bad, "Can not read loader file " + bad + ioError},
      {3, empty, "", "The firmware file " + empty + " is empty" + erase},
      {4, ff, ld, "The firmware file " + ff + " holds only 0xFF bytes" + erase},
      {4, fw, text, "The loader file " + text + noText},
      {3, fw, "", "The embedded loader" + noText},
  };
  for (const Case& c : cases) {
    const size_t handles = OpenHandles();
    SizesResult r = ComputePayloadSizes(static_cast<RunMode>(c.mode), c.fw, c.ld);
    EXPECT_FALSE(r.Ok());
    EXPECT_EQ(r.Message, c.message);
    EXPECT_TRUE(r.FirmwareFile.empty() && r.LoaderFile.empty()) << "nothing to send";
    EXPECT_EQ(OpenHandles(), handles);
  }
  std::memcpy(MutableLoaderBytes(), embedded.data(), embedded.size());
  // Refused by its size on disk, before any of it is read: a sparse file, so the test writes nothing.
  const std::string huge = dir_ / "huge";
  WriteFile(huge, {});
  std::filesystem::resize_file(huge, 0x80000000u);
  const uint64_t readsBefore = ReadCalls();
  EXPECT_EQ(ComputePayloadSizes(RunMode::FirmwareFile, huge, "").Message,
            "Can not read firmware file " + huge + ": too large for a payload (more than 2147483632 bytes)");
  EXPECT_LT(ReadCalls() - readsBefore, 10u);

  // An existing file that cannot be opened, as an ordinary user meets it.
  ASSERT_EQ(::chmod(fw.c_str(), 0), 0);
  ASSERT_EQ(::chmod(dir_.path.c_str(), 0755), 0);
  std::string said =
      payload_test::InChild(true, [&] { return ComputePayloadSizes(RunMode::FirmwareFile, fw, "").Message; });
  EXPECT_EQ(said, "Can not read firmware file " + fw + ": Permission denied");
}

}  // namespace
}  // namespace payload
