// The web page's payloads: base64, the payload element, a page built, read back, damaged and built again.
#include <gtest/gtest.h>

#include <cstring>

#include "payload/PageFile.h"
#include "tests/payload/test_files.h"

namespace payload {
namespace {

using payload_test::Bytes;
using State = DigestCheck::State;

// A template as the web build writes one: the empty element between the page and its script.
const std::string kHead =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"></head><body>\xC3\xA9t\xC3\xA9\n";
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
std::string NoBase64(const std::string& why) {
  return "payload line 1: firmware= is no base64 (" + why + ")";
}

TEST(PageFile, Base64AndPagesThatAreNotRead) {
  Bytes back;
  for (const auto& [plain, coded] :
       {std::pair{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foob", "Zm9vYg=="}}) {
    EXPECT_EQ(B64(Bytes(plain, plain + std::strlen(plain))), coded);
    EXPECT_EQ(Base64Decode(coded, &back), "");
    EXPECT_EQ(std::string(back.begin(), back.end()), plain);
  }
  const std::string open = kPayloadOpenTag;
  const std::pair<std::string, std::string> refused[] = {
      {kHead + kTail, "no payload element " + open},
      {kTemplate + open + kTail, "2 payload elements " + open + ", where one belongs"},
      {kHead + open, "no </script> after " + open},
      {Page("image=Zm9v"), "payload line 1 is none of loader=, firmware=, digest=: \"image=Zm9v\""},
      {Page("loader=Zm9v\n"), "payload line 2 is none of loader=, firmware=, digest=: \"\""},
      {Page("firmware=Zm9v\nloader=Zm9v"), "payload line 2: loader= comes after firmware="},
      {Page("firmware=Zm9v\nfirmware=Zm9v"), "payload line 2: firmware= comes twice"},
      {Page("loader="), "payload line 1: loader= holds no bytes"},
      {Page("digest=Zm9v"), "payload line 1: digest= holds 3 bytes; a digest record has 128"},
      {Page("firmware=Zm9"), NoBase64("its length, 3 characters, is no multiple of 4")},
      {Page("firmware=Zm9v!A=="), NoBase64("'!' at character 5 is no base64 character")},
      {Page("firmware=Zm9\rZg=="), NoBase64("byte 0D at character 4 is no base64 character")},
      {Page("firmware=Zg=A"), NoBase64("'=' at character 3 comes before the end")},
      {Page("firmware=Zh=="), NoBase64("'h' before the padding sets bits that no byte takes")},
      {Page("firmware=Zm9="), NoBase64("'9' before the padding sets bits that no byte takes")},
  };
  for (const auto& [page, why] : refused) EXPECT_EQ(ReadPagePayloads(page).Error, why);
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
  // A copy of it with another firmware takes the loader over, and its entry.
  const PagePayload second{"b.bin", payload_test::Pattern(999, 2)};
  const PagePayloads q = ReadPagePayloads(Built(page, &second, nullptr));
  EXPECT_TRUE(q.HasLoader && q.HasDigest && q.Loader == ld_ && q.Firmware == second.Bytes);
  EXPECT_TRUE(std::equal(q.Digest.begin(), q.Digest.begin() + kDigestEntrySize, record.begin()));
  for (PayloadKind kind : {PayloadKind::kFirmware, PayloadKind::kLoader})
    EXPECT_EQ(CheckPagePayload(q, kind).state, DigestCheck::kMatch);
  // A firmware alone from the template: no loader line, nor an entry for it.
  const PagePayloads f = ReadPagePayloads(Built(kTemplate, &firmware_, nullptr));
  EXPECT_TRUE(!f.HasLoader && f.HasDigest && f.Firmware == fw_);
  EXPECT_EQ(CheckPagePayload(f, PayloadKind::kLoader).state, DigestCheck::kNone);
}

// Refused as the executable builder says it; a page damaged after its build, and a copy that takes it over.
TEST_F(PageBuild, RefusalsAndDamage) {
  const std::string page = Built(kTemplate, &firmware_, &loader_);
  const struct {
    std::string from;
    Bytes fw, ld;      // no loader: none given
    State fromLoader;  // the template's loader against its record
    std::string says;  // the refusal's beginning; empty: built
  } cases[] = {
      {kTemplate, Bytes(), ld_, State::kNone, "The firmware file fw.bin is empty"},
      {kTemplate, Bytes(kFirmwareCopyLimit + 1, 1), ld_, State::kNone,
       "The firmware file fw.bin is too long (1048573 bytes): at most 1048572 bytes fit into the firmware"},
      {kTemplate, Bytes(4, 0x55), ld_, State::kNone,
       "The firmware file fw.bin begins with 55 55 55 55, the mark of an empty firmware buffer"},
      {kTemplate, Bytes(10, 0xFF), ld_, State::kNone, "The firmware file fw.bin holds only"},
      {kTemplate, fw_, Bytes(kLoaderCopyLimit + 1, 10), State::kNone,
       "The loader file ld.s19 is too long (64001"},
      {kTemplate, fw_, Bytes(8, 0x88), State::kNone, "The loader file ld.s19 begins with 88 88 88 88"},
      {kTemplate, fw_, Bytes{'S', '1'}, State::kNone, "The loader file ld.s19 is not S-record text"},
      {kTemplate + kPayloadOpenTag, fw_, ld_, State::kNone, "Can not build a page from this template"},
      {page, fw_, Bytes(), State::kMatch, ""},
      {Replaced(page, "loader=U", "loader=V"), fw_, Bytes(), State::kMismatch,
       "The loader carried in this page does not match the SHA-256 recorded when it was built: this copy is "
       "damaged; build or download it again.\r\nExpected: "},
      {Replaced(page, "loader=" + B64(ld_) + "\n", ""), fw_, Bytes(), State::kMismatch,
       "The loader carried in this"},
      {Replaced(page, "digest=c", "digest=d"), fw_, Bytes(), State::kDamagedRecord,
       "The SHA-256 record of the loader carried in this page is damaged"},
      {page.substr(0, page.find("\ndigest=")) + kTail, fw_, Bytes(), State::kNone, ""},  // no record
      {Page("loader=UzE="), fw_, Bytes(), State::kNone, "The loader carried in this page is not S-record"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CheckPagePayload(ReadPagePayloads(c.from), PayloadKind::kLoader).state, c.fromLoader) << c.says;
    const PagePayload fw{"fw.bin", c.fw}, ld{"ld.s19", c.ld};
    PageBuildResult r;
    EXPECT_EQ(BuildPage(c.from, &fw, c.ld.empty() ? nullptr : &ld, &r), c.says.empty()) << r.Error;
    EXPECT_EQ(r.Error.substr(0, c.says.size()), c.says);
    EXPECT_EQ(r.Page.empty(), !c.says.empty());
  }
}

}  // namespace
}  // namespace payload
