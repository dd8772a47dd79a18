// The updater builder: outputs in the three build modes, what it refuses, and built copies run as programs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <regex>

#include "payload/Builder.h"
#include "payload/PayloadFile.h"
#include "tests/payload/digest_cases.h"
#include "tests/payload/test_files.h"

namespace payload {
namespace {

using payload_test::Bytes;
using payload_test::Loader;
using payload_test::Pattern;
using payload_test::ReadFile;
using payload_test::WriteFile;

// The input with the payloads over its (empty: marker, then 0xFF) buffers, and nothing else changed.
void ExpectBuilt(const Bytes& input, const Bytes& out, size_t loaderAt, const Bytes* loader,
                 const Bytes* firmware) {
  const Bytes expected = payload_test::WithPayloads(input, loaderAt, loader, firmware);
  ASSERT_EQ(out.size(), expected.size());
  auto diff = std::mismatch(out.begin(), out.end(), expected.begin()).first - out.begin();
  EXPECT_EQ(static_cast<size_t>(diff), out.size()) << "first difference; loader buffer at " << loaderAt;
}

class PayloadBuilder : public ::testing::Test {
 protected:
  BuildResult Build(bool fw, bool ld, const std::string& target, const std::string& self = "/proc/self/exe") {
    cl_ = CommandLine{.TargetName = target, .FirmwarePath = dir_ / "fw.bin", .LoaderPath = dir_ / "ld.s19"};
    return BuildUpdater(fw, ld, cl_, self);
  }
  payload_test::TempDir dir_;
  CommandLine cl_;
  const Bytes self_ = ReadFile("/proc/self/exe");
  const size_t at_ = static_cast<size_t>(payload_test::SelfLoaderOffset());
};

TEST_F(PayloadBuilder, BuildModesAndNames) {
  ASSERT_GT(self_.size(), 1600000u);  // larger than the old fixed image buffer
  Bytes fw = Pattern(200000), ld = Loader(3000, 2);
  WriteFile(dir_ / "fw.bin", fw);
  WriteFile(dir_ / "ld.s19", ld);
  BuildResult r = Build(true, false, dir_ / "Name");
  ASSERT_TRUE(r.Ok) << r.Message;
  EXPECT_EQ(r.ExitCode, 0);
  EXPECT_EQ(r.OutputPath, dir_ / "Name.exe");
  ExpectBuilt(self_, ReadFile(dir_ / "Name.exe"), at_, nullptr, &fw);
  struct stat in, out;
  ASSERT_EQ(::stat("/proc/self/exe", &in) | ::stat((dir_ / "Name.exe").c_str(), &out), 0);
  EXPECT_EQ(out.st_mode & 07777, in.st_mode & 0777);

  ASSERT_TRUE(Build(true, true, dir_ / "Both.exe").Ok);
  ExpectBuilt(self_, ReadFile(dir_ / "Both.exe"), at_, &ld, &fw);

  std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path);
  r = Build(false, true, "");  // mode 5 has no name on its command line
  std::filesystem::current_path(cwd);
  ASSERT_TRUE(r.Ok) << r.Message;
  ExpectBuilt(self_, ReadFile(dir_ / "UpdateLoad.exe"), at_, &ld, nullptr);

  for (auto [given, written] :
       {std::pair{"N2", "N2.exe"}, {"N3.exe.bak", "N3.exe.bak"}, {"N4.EXE", "N4.EXE.exe"}}) {
    ASSERT_TRUE(Build(true, false, dir_ / given).Ok);
    EXPECT_EQ(cl_.TargetName, dir_ / written);
  }
  EXPECT_EQ(dir_.List(), (std::vector<std::string>{"Both.exe", "N2.exe", "N3.exe.bak", "N4.EXE.exe",
                                                   "Name.exe", "UpdateLoad.exe", "fw.bin", "ld.s19"}));
}

TEST_F(PayloadBuilder, PayloadsFillTheirBuffersExactly) {
  // At the limits (the firmware buffer's last four bytes stay 0xFF); shorter than the markers, whose leftover
  // bytes must not become payload; and one byte short of an empty mark, which is still a payload (a loader
  // is S-record text, which never begins with its mark).
  const Bytes almostFw = {0x55, 0x55, 0x55, 0x54, 0x55}, almostLd = Loader(12, 5);
  for (auto [fw, ld] : {std::pair{Pattern(kFirmwareCopyLimit, 3), Loader(kLoaderCopyLimit, 4)},
                        {Pattern(2, 3), Loader(12, 4)},
                        {almostFw, almostLd}}) {
    WriteFile(dir_ / "fw.bin", fw);
    WriteFile(dir_ / "ld.s19", ld);
    ASSERT_TRUE(Build(true, true, dir_ / "Out").Ok);
    ExpectBuilt(self_, ReadFile(dir_ / "Out.exe"), at_, &ld, &fw);
  }
}

TEST_F(PayloadBuilder, RebuildingACopyTakesTheNewPayloads) {
  // Each later payload is shorter than the one it replaces: a tail of the old one left behind would count.
  Bytes fw1 = Pattern(5000, 1), ld1 = Loader(3000, 3), fw2 = Pattern(4321, 2), ld2 = Loader(700, 4);
  WriteFile(dir_ / "fw.bin", fw1);
  WriteFile(dir_ / "ld.s19", ld1);
  ASSERT_TRUE(Build(true, true, dir_ / "A").Ok);
  WriteFile(dir_ / "fw.bin", fw2);
  WriteFile(dir_ / "ld.s19", ld2);
  struct {
    bool fw, ld;
    const Bytes *expectLd, *expectFw;
  } cases[] = {
      {true, false, &ld1, &fw2},  // the loader the copy carries stays
      {true, true, &ld2, &fw2},
  };
  for (const auto& c : cases) {
    BuildResult r = Build(c.fw, c.ld, dir_ / "B", dir_ / "A.exe");
    ASSERT_TRUE(r.Ok) << r.Message;
    ExpectBuilt(self_, ReadFile(dir_ / "B.exe"), at_, c.expectLd, c.expectFw);
  }
}

TEST_F(PayloadBuilder, TheDigestRecordRoundTrips) {
  payload_test::ExpectKnownSha256();
  Bytes fw = Pattern(5000, 7), ld = Loader(700, 8);
  fw.insert(fw.end(), {0xFF, 0xFF});  // a firmware file may end in 0xFF: its digest covers all of it
  WriteFile(dir_ / "fw.bin", fw);
  WriteFile(dir_ / "ld.s19", ld);
  ASSERT_TRUE(Build(true, true, dir_ / "Out").Ok);
  payload_test::ExpectDigestRoundTrip(ReadFile(dir_ / "Out.exe"), fw, ld);
}

TEST_F(PayloadBuilder, APayloadTakenOverKeepsItsDigestAndADamagedOneIsNotTakenOver) {
  const Bytes fw1 = Pattern(5000, 1), ld1 = Loader(3000, 3), fw2 = Pattern(4321, 2);
  WriteFile(dir_ / "fw.bin", fw1);
  WriteFile(dir_ / "ld.s19", ld1);
  ASSERT_TRUE(Build(true, true, dir_ / "A").Ok);
  const Bytes a = ReadFile(dir_ / "A.exe");
  PayloadLocation at;
  std::string error;
  ASSERT_TRUE(LocatePayload(a.data(), a.size(), &at, &error)) << error;
  WriteFile(dir_ / "fw.bin", fw2);

  Bytes damaged = a;
  damaged[at.LoaderOffset + 1234] ^= 0x40;
  WriteFile(dir_ / "D.exe", damaged);
  const std::string refused =
      "The loader carried in this program does not match the SHA-256 recorded when it "
      "was built: this copy is damaged; build or download it again.\r\nExpected: " +
      HexOf(Sha256Of(ld1.data(), ld1.size()));
  const struct {
    const char* what;
    std::string from;
    bool fw, ld;
    std::string message;  // the beginning of it
  } cases[] = {
      {"the loader of a sound copy", "A.exe", true, false, ""},
      {"the damaged loader", "D.exe", true, false, refused},
      {"the damaged loader replaced", "D.exe", true, true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(dir_ / "B.exe");
    const BuildResult r = Build(c.fw, c.ld, dir_ / "B", dir_ / c.from);
    EXPECT_EQ(r.Message.substr(0, c.message.size()), c.message);
    EXPECT_EQ(r.Ok, c.message.empty());
    EXPECT_EQ(std::filesystem::exists(dir_ / "B.exe"), r.Ok);
    if (!r.Ok) continue;
    const Bytes b = ReadFile(dir_ / "B.exe");
    EXPECT_TRUE(std::equal(a.begin() + static_cast<long>(at.DigestOffset + kLoaderDigestEntry),
                           a.begin() + static_cast<long>(at.DigestOffset + kDigestEntrySize),
                           b.begin() + static_cast<long>(at.DigestOffset + kLoaderDigestEntry)))
        << "the loader's entry travels with it";
    EXPECT_EQ(CheckDigest(b.data() + at.FirmwareOffset, kFirmwareBufferSize,
                          b.data() + at.DigestOffset + kFirmwareDigestEntry)
                  .state,
              DigestCheck::kMatch);
  }
}

TEST_F(PayloadBuilder, RefusalsWriteNothing) {
  std::string d = dir_.path + "/";
  WriteFile(d + "fw.bin", Pattern(10));
  WriteFile(d + "ld.s19", Loader(20));
  WriteFile(d + "long.bin", Pattern(kFirmwareCopyLimit + 1));
  WriteFile(d + "long.s19", Pattern(kLoaderCopyLimit + 1));
  WriteFile(d + "empty", {});
  Bytes marked = Pattern(100);
  std::fill_n(marked.begin(), 4, 0x55);
  WriteFile(d + "marked.bin", marked);
  std::fill_n(marked.begin(), 4, 0x88);
  WriteFile(d + "marked.s19", marked);
  WriteFile(d + "mark.bin", Bytes(4, 0x55));
  WriteFile(d + "ff.bin", Bytes(100, 0xFF));
  WriteFile(d + "notes.s19", {'S', '1', '\r', '\n'});
  const Bytes junk = Pattern(100, 5);  // a loader placed by an older builder
  WriteFile(d + "old.exe", payload_test::WithPayloads(self_, at_, &junk, nullptr));
  WriteFile(d + "self.exe", self_);
  WriteFile(d + "cut.exe", Bytes(self_.begin(), self_.begin() + 100000));
  ASSERT_EQ(::symlink("/proc/self/mem", (d + "unreadable").c_str()), 0);  // opens, then EIO on read
  ASSERT_EQ(::link((d + "self.exe").c_str(), (d + "hard.exe").c_str()), 0);
  ASSERT_EQ(::symlink("self.exe", (d + "soft.exe").c_str()), 0);
  ASSERT_EQ(::mkdir((d + "Dir.exe").c_str(), 0755), 0);
  const auto before = dir_.List();
  const std::string noSuch = ": No such file or directory";

  struct Case {
    bool fw, ld;
    std::string fwPath, ldPath, target, self, message;
  } cases[] = {
      {true, true, "fw.bin", "none", "N", "", "Can not open loader file: " + d + "none" + noSuch},
      {true, true, "none", "none", "N", "", "Can not open firmware file: " + d + "none" + noSuch},
      {true, false, "", "", "N", "", "Can not open firmware file: no file was named"},
      {false, true, "", "", "", "", "Can not open loader file: no file was named"},
      {true, true, "long.bin", "ld.s19", "N", "",
       "The firmware file " + d +
           "long.bin is too long (1048573 bytes): at most 1048572 bytes fit into the firmware buffer"},
      {true, true, "fw.bin", "long.s19", "N", "",
       "The loader file " + d +
           "long.s19 is too long (64001 bytes): at most 64000 bytes fit into the loader buffer"},
      {true, false, "empty", "", "N", "", "The firmware file " + d + "empty is empty"},
      {true, true, "marked.bin", "ld.s19", "N", "",
       "The firmware file " + d +
           "marked.bin begins with 55 55 55 55, the mark of an empty firmware buffer: a copy carrying it "
           "could "
           "never update"},
      {true, false, "mark.bin", "", "N", "",
       "The firmware file " + d +
           "mark.bin begins with 55 55 55 55, the mark of an empty firmware buffer: a copy carrying it could "
           "never update"},
      {false, true, "", "marked.s19", "N", "",
       "The loader file " + d +
           "marked.s19 begins with 88 88 88 88, the mark of an empty loader buffer: a copy carrying it could "
           "never update"},
      {true, true, "ff.bin", "ld.s19", "N", "",
       "The firmware file " + d +
           "ff.bin holds only 0xFF bytes: there is no firmware to send, and an update would only erase the "
           "indicator"},
      {true, true, "fw.bin", "notes.s19", "N", "",
       "The loader file " + d +
           "notes.s19 is not S-record text (line 1: no count): the indicator's boot loader could not take "
           "it"},
      {true, false, "fw.bin", "", "N", "old.exe",
       "This updater's embedded loader is not S-record text (line 1: does not begin with a record type S0 to "
       "S9): the indicator's boot loader could not take it"},
      {true, true, "unreadable", "ld.s19", "N", "",
       "Can not read firmware file " + d + "unreadable: read error: Input/output error"},
      {false, true, "", "ld.s19", "none/N", "",
       "Can not write " + d + "none/N.exe: can not create a file beside it: No such file or directory"},
      {false, true, "", "ld.s19", "Dir.exe", "",
       "Can not write " + d + "Dir.exe: can not put it in place: Is a directory"},
      {true, false, "fw.bin", "", "self.exe", "self.exe",
       d + "self.exe is this updater's own file; choose another name"},
      {true, false, "fw.bin", "", "hard.exe", "self.exe",
       d + "hard.exe is this updater's own file; choose another name"},
      {true, false, "fw.bin", "", "soft.exe", "self.exe",
       d + "soft.exe is this updater's own file; choose another name"},
      {true, false, "fw.bin", "", "N", "cut.exe",
       "Can not build " + d + "N.exe: " + d +
           "cut.exe: no readable section headers (stripped of them, or damaged)"},
      {true, false, "fw.bin", "", "N", "/bin/sh",
       "Can not build " + d + "N.exe: /bin/sh: the payload buffers are missing (no section .brae_payload)"},
      {true, false, "fw.bin", "", "N", "none",
       "Can not read the running program " + d + "none: No such file or directory"},
  };
  for (const Case& c : cases) {
    cl_ = CommandLine{.TargetName = c.target.empty() ? "" : d + c.target,
                      .FirmwarePath = c.fwPath.empty() ? "" : d + c.fwPath,
                      .LoaderPath = c.ldPath.empty() ? "" : d + c.ldPath};
    std::string self = c.self.empty() ? "/proc/self/exe" : c.self[0] == '/' ? c.self : d + c.self;
    BuildResult r = BuildUpdater(c.fw, c.ld, cl_, self);
    EXPECT_EQ(r.Message, c.message);
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_EQ(dir_.List(), before) << c.message;
  }
  EXPECT_EQ(ReadFile(d + "self.exe"), self_);
}

TEST_F(PayloadBuilder, AFullDiskLeavesTheOldFileAndNoHalfWrittenOne) {
  WriteFile(dir_ / "ld.s19", Loader(20));
  WriteFile(dir_ / "N.exe", {1, 2, 3});
  std::string said = payload_test::InChild(false, [&] {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{500000, RLIM_INFINITY};  // no file may grow beyond 500 kB
    ::setrlimit(RLIMIT_FSIZE, &limit);
    return Build(false, true, dir_ / "N").Message;
  });
  EXPECT_EQ(said, "Can not write " + (dir_ / "N.exe") + ": write error: File too large");
  EXPECT_EQ(ReadFile(dir_ / "N.exe"), (Bytes{1, 2, 3}));
  EXPECT_EQ(dir_.List(), (std::vector<std::string>{"N.exe", "ld.s19"}));
}

TEST_F(PayloadBuilder, PermissionsAsAnOrdinaryUserMeetsThem) {
  // Write-protected payloads build (they are only read); an unreadable payload or a read-only directory fail.
  WriteFile(dir_ / "fw.bin", Pattern(100));
  WriteFile(dir_ / "ld.s19", Loader(100));
  for (auto [path, mode] : {std::pair{dir_ / "fw.bin", 0444}, {dir_ / "ld.s19", 0444}, {dir_.path, 0755}}) {
    ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(mode)), 0);
  }
  for (auto [name, mode] : {std::pair{"out", 0777}, {"ro", 0555}}) {
    ASSERT_EQ(::mkdir((dir_ / name).c_str(), 0), 0);
    ASSERT_EQ(::chmod((dir_ / name).c_str(), static_cast<mode_t>(mode)), 0);
  }
  // The ordinary user reaches nothing of ours but this directory: the program it copies from is a copy in it
  // too, since the test program itself may lie where only root can read (a clone under /root).
  const std::string self = dir_ / "self.exe";
  WriteFile(self, self_);
  ASSERT_EQ(::chmod(self.c_str(), 0555), 0);
  const std::string reach = payload_test::InChild(true, [&] {
    return ::access(self.c_str(), R_OK) == 0 ? std::string() : std::string(std::strerror(errno));
  });
  if (reach == "could not drop privileges") GTEST_SKIP() << "root here may not become an ordinary user";
  if (!reach.empty()) GTEST_SKIP() << "an ordinary user can not reach " << self << " (TMPDIR?): " << reach;
  auto build = [&](bool fw, bool ld, const std::string& target) {
    return payload_test::InChild(true, [&] { return Build(fw, ld, target, self).Message; });
  };
  EXPECT_EQ(build(true, true, dir_ / "out/Both"), "");
  EXPECT_EQ(ReadFile(dir_ / "out/Both.exe").size(), self_.size());
  EXPECT_EQ(build(false, true, dir_ / "out/Load"), "");
  EXPECT_EQ(build(false, true, dir_ / "ro/Load"), "Can not write " + (dir_ / "ro/Load.exe") +
                                                      ": can not create a file beside it: Permission denied");
  ASSERT_EQ(::chmod((dir_ / "ld.s19").c_str(), 0), 0);
  EXPECT_EQ(build(false, true, dir_ / "out/L2"),
            "Can not read loader file " + (dir_ / "ld.s19") + ": Permission denied");
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "ro"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out/L2.exe"));
}

// Built copies run as programs (payload_probe): what they read at run time is what the builder wrote.
class PayloadBuiltUpdater : public ::testing::Test {
 protected:
  // "loader_empty=0 firmware_empty=0 loader_size=501 ..." -> a line to compare, and the loader buffer's
  // offset.
  static std::string Probe(const std::string& program, long* loaderAt = nullptr) {
    std::string said = payload_test::Run("'" + program + "'");
    std::smatch m;
    if (!std::regex_match(said, m, std::regex("(.*) loader_offset=(\\d+)\n"))) return "bad output: " + said;
    if (loaderAt) *loaderAt = std::stol(m[2]);
    return m[1];
  }
  // The report of a program whose buffers hold ld and fw; none = still shipped (the markers count as a 6- and
  // a 4-byte payload for the size rule), and what its own digest check says at run time.
  static std::string Expected(const Bytes* ld, const Bytes* fw) {
    auto hash = [](const Bytes& b) {
      uint64_t h = 1469598103934665603ull;
      for (uint8_t x : b) h = (h ^ x) * 1099511628211ull;
      char s[17];
      std::snprintf(s, sizeof s, "%016llx", static_cast<unsigned long long>(h));
      return std::string(s);
    };
    const Bytes l = ld ? *ld : Bytes(6, 0x88), f = fw ? *fw : Bytes(4, 0x55);
    // Every payload here was placed by a builder, which recorded its digest; the shipped buffers have none.
    return std::string("loader_empty=") + (ld ? "0" : "1") + " firmware_empty=" + (fw ? "0" : "1") +
           " loader_size=" + std::to_string(l.size()) + " firmware_size=" + std::to_string(f.size()) +
           " loader_hash=" + hash(l) + " firmware_hash=" + hash(f) +
           " loader_digest=" + (ld ? "match" : "none") + " firmware_digest=" + (fw ? "match" : "none");
  }
  payload_test::TempDir dir_;
  const std::string probe_ = BRAE_PAYLOAD_PROBE;
};

TEST_F(PayloadBuiltUpdater, CopiesOfCopiesCarryTheirPayloads) {
  EXPECT_EQ(Probe(probe_), Expected(nullptr, nullptr));
  Bytes fw = Pattern(123457), ld = Loader(501, 5);
  WriteFile(dir_ / "fw.bin", fw);
  WriteFile(dir_ / "ld.s19", ld);
  // Each program builds from its own running file.
  std::string cd = "cd '" + dir_.path + "' && ";
  int code = -1;
  EXPECT_EQ(payload_test::Run(cd + "'" + probe_ + "' /u First fw.bin", &code), "built First.exe\n");
  EXPECT_EQ(code, 0);
  EXPECT_EQ(Probe(dir_ / "First.exe"), Expected(nullptr, &fw));
  EXPECT_EQ(payload_test::Run(cd + "./First.exe /L ld.s19", &code), "built UpdateLoad.exe\n");
  EXPECT_EQ(Probe(dir_ / "UpdateLoad.exe"), Expected(&ld, &fw));
  // Rebuilt from a copy that carries both, with a shorter firmware: the copy's own one must not show through.
  Bytes fwB = Pattern(100001, 6);
  WriteFile(dir_ / "fwB.bin", fwB);
  EXPECT_EQ(payload_test::Run(cd + "./UpdateLoad.exe /u Second fwB.bin", &code), "built Second.exe\n");
  EXPECT_EQ(code, 0);
  EXPECT_EQ(Probe(dir_ / "Second.exe"), Expected(&ld, &fwB));
  EXPECT_EQ(payload_test::Run(cd + "./First.exe /u Second none.bin", &code),
            "failed Can not open firmware file: none.bin: No such file or directory\n");
  EXPECT_EQ(code, 1);
}

TEST_F(PayloadBuiltUpdater, MarkerBytesElsewhereInALargeExecutableAreLeftAlone) {
  // Bytes behind the program (they do not stop it from running) make it far larger than 1,600,000 bytes and
  // hold marker-like runs, as does the program itself (brae_probe_decoy). Only the buffers may change.
  long at = -1;
  Probe(probe_, &at);
  Bytes in = ReadFile(probe_);
  in.insert(in.end(), 1 << 20, 0x88);
  in.insert(in.end(), 1 << 20, 0x55);
  WriteFile(dir_ / "big.exe", in);
  ASSERT_EQ(::chmod((dir_ / "big.exe").c_str(), 0755), 0);
  Bytes fw = Pattern(3000), ld = Loader(2000, 9);
  WriteFile(dir_ / "fw.bin", fw);
  WriteFile(dir_ / "ld.s19", ld);
  CommandLine cl{.TargetName = dir_ / "Full", .FirmwarePath = dir_ / "fw.bin", .LoaderPath = dir_ / "ld.s19"};
  ASSERT_TRUE(BuildUpdater(true, true, cl, dir_ / "big.exe").Ok);
  ExpectBuilt(in, ReadFile(dir_ / "Full.exe"), static_cast<size_t>(at), &ld, &fw);
  EXPECT_EQ(Probe(dir_ / "Full.exe"), Expected(&ld, &fw));
  // Again from the full copy: a builder that searched for markers would now write into the decoys.
  cl.TargetName = dir_ / "Again";
  ASSERT_TRUE(BuildUpdater(true, true, cl, dir_ / "Full.exe").Ok);
  EXPECT_EQ(ReadFile(dir_ / "Again.exe"), ReadFile(dir_ / "Full.exe"));
}

}  // namespace
}  // namespace payload
