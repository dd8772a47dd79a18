// The web page's payloads: base64, the payload element, a page built, read back, damaged and built again.
#include <gtest/gtest.h>

#include <numeric>

#include "payload/PageFile.h"
#include "tests/payload/test_files.h"

namespace payload {
namespace {

using payload_test::Bytes;

// A template as the web build writes one: the empty element between the page and its script.
const std::string kHead =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Brae</title></head>\n"
    "<body><main>\xC3\x9C"
    "bertragung</main>\n";
const std::string kTail = "</script>\n<script>const p = document.getElementById('brae-payload');</script>\n";
const std::string kTemplate = kHead + kPayloadOpenTag + kTail;

std::string Page(const std::string& content) {
  return kHead + kPayloadOpenTag + content + kTail;
}
std::string B64(const Bytes& b) {
  return Base64Encode(b.data(), b.size());
}
std::string Replaced(std::string s, const std::string& from, const std::string& to) {
  return s.replace(s.find(from), from.size(), to);
}

TEST(PageFile, Base64IsStrict) {
  const std::pair<std::string, std::string> known[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}};
  for (const auto& [plain, coded] : known) {
    EXPECT_EQ(B64(Bytes(plain.begin(), plain.end())), coded);
    Bytes back;
    EXPECT_EQ(Base64Decode(coded, &back), "");
    EXPECT_EQ(std::string(back.begin(), back.end()), plain);
  }
  Bytes all(256), back;
  std::iota(all.begin(), all.end(), 0);
  EXPECT_EQ(Base64Decode(B64(all), &back), "");
  EXPECT_EQ(back, all);
  const std::pair<const char*, const char*> refused[] = {
      {"Zm9", "its length, 3 characters, is no multiple of 4"},
      {"Zm9v!A==", "'!' at character 5 is no base64 character"},
      {"Zm-_", "'-' at character 3 is no base64 character"},
      {"Zm9\nZg==", "byte 0A at character 4 is no base64 character"},
      {"Zg=A", "'=' at character 3 comes before the end"},
      {"Z===", "'=' at character 2 comes before the end"},
      {"Zh==", "'h' before the padding sets bits that no byte takes"},
      {"Zm9=", "'9' before the padding sets bits that no byte takes"},
  };
  for (const auto& [text, why] : refused) EXPECT_EQ(Base64Decode(text, &back), why) << text;
}

TEST(PageFile, PagesThatAreNotReadAndWhy) {
  const std::string open = kPayloadOpenTag;
  const std::pair<std::string, std::string> refused[] = {
      {kHead + kTail, "no payload element " + open},
      {kTemplate + open + kTail, "2 payload elements " + open + ", where one belongs"},
      {kHead + open, "no </script> after " + open},
      {Page("image=Zm9v"), "payload line 1 is none of loader=, firmware=, digest=: \"image=Zm9v\""},
      {Page("loader=Zm9v\n"), "payload line 2 is none of loader=, firmware=, digest=: \"\""},
      {Page("firmware=Zm9v\nloader=Zm9v"), "payload line 2: loader= comes after firmware="},
      {Page("firmware=Zm9v\nfirmware=Zm9v"), "payload line 2: firmware= comes twice"},
      {Page("firmware=Zm9v\r"),
       "payload line 1: firmware= is no base64 (its length, 5 characters, is no "
       "multiple of 4)"},
      {Page("loader="), "payload line 1: loader= holds no bytes"},
      {Page("digest=Zm9v"), "payload line 1: digest= holds 3 bytes; a digest record has 128"},
  };
  for (const auto& [page, why] : refused) {
    const PagePayloads p = ReadPagePayloads(page);
    EXPECT_EQ(p.Error, why);
    EXPECT_FALSE(p.HasLoader || p.HasFirmware || p.HasDigest) << why;
  }
}

class PageBuild : public ::testing::Test {
 protected:
  const Bytes fw_ = payload_test::Pattern(200000), ld_ = payload_test::Loader(3000);
  const PagePayload firmware_{"fw.bin", fw_}, loader_{"ld.s19", ld_};
  std::string Built(const std::string& from, const PagePayload* fw, const PagePayload* ld) {
    PageBuildResult r;
    EXPECT_TRUE(BuildPage(from, fw, ld, &r)) << r.Error;
    return r.Page;
  }
};

TEST_F(PageBuild, APageACopyOfItAndTheirRecords) {
  const std::string page = Built(kTemplate, &firmware_, &loader_);
  std::array<uint8_t, kDigestRecordSize> record{};
  WriteDigestEntry(record.data() + kLoaderDigestEntry, ld_.data(), ld_.size());
  WriteDigestEntry(record.data() + kFirmwareDigestEntry, fw_.data(), fw_.size());
  EXPECT_TRUE(page == Page("loader=" + B64(ld_) + "\nfirmware=" + B64(fw_) +
                           "\ndigest=" + Base64Encode(record.data(), record.size())));
  const PagePayloads p = ReadPagePayloads(page);
  EXPECT_TRUE(p.HasLoader && p.HasFirmware && p.HasDigest && p.Loader == ld_ && p.Firmware == fw_);

  // A copy of it with another firmware takes the loader over, and its entry.
  const Bytes fw2 = payload_test::Pattern(999, 2);
  const PagePayload second{"b.bin", fw2};
  const PagePayloads q = ReadPagePayloads(Built(page, &second, nullptr));
  EXPECT_TRUE(q.Loader == ld_ && q.Firmware == fw2);
  EXPECT_TRUE(std::equal(q.Digest.begin(), q.Digest.begin() + kDigestEntrySize, record.begin()));
  for (PayloadKind kind : {PayloadKind::kFirmware, PayloadKind::kLoader})
    EXPECT_EQ(CheckPagePayload(q, kind).state, DigestCheck::kMatch);
  // A firmware alone from the template: no loader line, nor an entry for it.
  const PagePayloads f = ReadPagePayloads(Built(kTemplate, &firmware_, nullptr));
  EXPECT_TRUE(!f.HasLoader && f.HasDigest && f.Firmware == fw_);
  EXPECT_EQ(CheckPagePayload(f, PayloadKind::kLoader).state, DigestCheck::kNone);
}

TEST_F(PageBuild, WhatABuildRefusesAsTheExecutableBuilderSaysIt) {
  auto with = [](const char* name, Bytes b) { return PagePayload{name, std::move(b)}; };
  Bytes marked = fw_;
  std::fill_n(marked.begin(), 4, 0x55);
  const struct {
    std::string from;
    PagePayload fw, ld;
    std::string says;  // the message's beginning
  } cases[] = {
      {kTemplate, with("fw.bin", {}), loader_, "The firmware file fw.bin is empty"},
      {kTemplate, with("fw.bin", Bytes(kFirmwareCopyLimit + 1, 1)), loader_,
       "The firmware file fw.bin is too long (1048573 bytes): at most 1048572 bytes fit into the firmware "
       "buffer"},
      {kTemplate, with("fw.bin", marked), loader_,
       "The firmware file fw.bin begins with 55 55 55 55, the mark of an empty firmware buffer: a copy "
       "carrying "
       "it could never update"},
      {kTemplate, with("fw.bin", Bytes(10, 0xFF)), loader_, "The firmware file fw.bin holds only 0xFF bytes"},
      {kTemplate, firmware_, with("ld.s19", Bytes(kLoaderCopyLimit + 1, '\n')),
       "The loader file ld.s19 is too long"},
      {kTemplate, firmware_, with("ld.s19", Bytes(8, 0x88)),
       "The loader file ld.s19 begins with 88 88 88 88"},
      {kTemplate, firmware_, with("ld.s19", Bytes{'S', '1'}),
       "The loader file ld.s19 is not S-record text (line 1"},
      {kTemplate + kPayloadOpenTag, firmware_, loader_, "Can not build a page from this template: 2 payload"},
  };
  for (const auto& c : cases) {
    PageBuildResult r;
    EXPECT_FALSE(BuildPage(c.from, &c.fw, &c.ld, &r)) << c.says;
    EXPECT_EQ(r.Error.substr(0, c.says.size()), c.says);
    EXPECT_EQ(r.Page, "");
  }
}

// A built page damaged afterwards: its loader checked against the record, and a copy refused that would take
// it over.
TEST_F(PageBuild, ADamagedPageIsToldAndNotTakenOver) {
  const std::string page = Built(kTemplate, &firmware_, &loader_);
  const std::string loaderLine = "loader=" + B64(ld_) + "\n";
  const std::string digestLine =
      page.substr(page.find("\ndigest="), page.rfind(kTail) - page.find("\ndigest="));
  const struct {
    std::string page;
    DigestCheck::State state;
    std::string says;
  } cases[] = {
      {page, DigestCheck::kMatch, ""},
      {Replaced(page, "loader=U", "loader=V"), DigestCheck::kMismatch,
       "The loader carried in this page does not match the SHA-256 recorded when it was built: this copy is "
       "damaged; build or download it again.\r\nExpected: "},
      {Replaced(page, loaderLine, ""), DigestCheck::kMismatch,
       "The loader carried in this page does not match"},
      {Replaced(page, "digest=c", "digest=d"), DigestCheck::kDamagedRecord,
       "The SHA-256 record of the loader carried in this page is damaged"},
      {Replaced(page, digestLine, ""), DigestCheck::kNone, ""},  // a page with no record: taken over as it is
      {Page("loader=" + B64(Bytes{'S', '1'})), DigestCheck::kNone,
       "The loader carried in this page is not S-record"},
  };
  for (const auto& c : cases) {
    const DigestCheck check = CheckPagePayload(ReadPagePayloads(c.page), PayloadKind::kLoader);
    EXPECT_EQ(check.state, c.state) << c.says;
    PageBuildResult r;
    EXPECT_EQ(BuildPage(c.page, &firmware_, nullptr, &r), c.says.empty()) << r.Error;
    EXPECT_EQ(r.Error.substr(0, c.says.size()), c.says);
  }
}

}  // namespace
}  // namespace payload
