#include "payload/PageFile.h"

#include <algorithm>
#include <cstdio>

#include "payload/Buffers.h"

namespace payload {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int DigitValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// A character for a message: itself when it is printable ASCII, else its byte in hex.
std::string Shown(char c) {
  const auto b = static_cast<unsigned char>(c);
  if (b >= 0x20 && b < 0x7F) return std::string("'") + c + "'";
  char hex[16];
  std::snprintf(hex, sizeof hex, "byte %02X", b);
  return hex;
}

// The three lines, in the order they come.
constexpr const char* kLineNames[] = {"loader", "firmware", "digest"};

// The element's content read into *p; why not, else empty.
std::string ReadContent(const std::string& content, PagePayloads* p) {
  if (content.empty()) return {};
  int last = -1;
  size_t number = 0;
  for (size_t at = 0; at <= content.size(); ++number) {
    const size_t end = std::min(content.find('\n', at), content.size());
    const std::string line = content.substr(at, end - at);
    at = end + 1;
    const std::string where = "payload line " + std::to_string(number + 1);
    const size_t eq = line.find('=');
    const std::string name = eq == std::string::npos ? line : line.substr(0, eq);
    const auto known = std::find(std::begin(kLineNames), std::end(kLineNames), name);
    if (eq == std::string::npos || known == std::end(kLineNames)) {
      return where + " is none of loader=, firmware=, digest=: \"" + line.substr(0, 24) +
             (line.size() > 24 ? "..." : "") + "\"";
    }
    const int index = static_cast<int>(known - std::begin(kLineNames));
    if (index == last) return where + ": " + name + "= comes twice";
    if (index < last) return where + ": " + name + "= comes after " + kLineNames[last] + "=";
    last = index;
    std::vector<uint8_t> bytes;
    const std::string why = Base64Decode(line.substr(eq + 1), &bytes);
    if (!why.empty()) return where + ": " + name + "= is no base64 (" + why + ")";
    if (bytes.empty()) return where + ": " + name + "= holds no bytes";
    if (index == 0) {
      p->HasLoader = true;
      p->Loader = std::move(bytes);
    } else if (index == 1) {
      p->HasFirmware = true;
      p->Firmware = std::move(bytes);
    } else {
      if (bytes.size() != kDigestRecordSize) {
        return where + ": digest= holds " + std::to_string(bytes.size()) + " bytes; a digest record has " +
               std::to_string(kDigestRecordSize);
      }
      p->HasDigest = true;
      std::copy(bytes.begin(), bytes.end(), p->Digest.begin());
    }
  }
  return {};
}

const std::vector<uint8_t>& BytesOf(const PagePayloads& p, PayloadKind kind) {
  return kind == PayloadKind::kFirmware ? p.Firmware : p.Loader;
}

size_t EntryOf(PayloadKind kind) {
  return kind == PayloadKind::kFirmware ? kFirmwareDigestEntry : kLoaderDigestEntry;
}

bool Refuse(PageBuildResult* result, std::string why) {
  result->Page.clear();
  result->Error = std::move(why);
  return false;
}

}  // namespace

std::string Base64Encode(const uint8_t* bytes, size_t n) {
  std::string text;
  text.reserve((n + 2) / 3 * 4);
  for (size_t i = 0; i < n; i += 3) {
    const size_t left = n - i;
    const uint32_t group = static_cast<uint32_t>(bytes[i]) << 16 |
                           (left > 1 ? static_cast<uint32_t>(bytes[i + 1]) << 8 : 0) |
                           (left > 2 ? bytes[i + 2] : 0);
    text += kAlphabet[group >> 18];
    text += kAlphabet[(group >> 12) & 63];
    text += left > 1 ? kAlphabet[(group >> 6) & 63] : '=';
    text += left > 2 ? kAlphabet[group & 63] : '=';
  }
  return text;
}

std::string Base64Decode(const std::string& text, std::vector<uint8_t>* bytes) {
  bytes->clear();
  const size_t n = text.size();
  if (n % 4 != 0) return "its length, " + std::to_string(n) + " characters, is no multiple of 4";
  const size_t pad = n >= 2 && text[n - 1] == '=' ? (text[n - 2] == '=' ? 2 : 1) : 0;
  for (size_t i = 0; i < n - pad; ++i) {
    if (DigitValue(text[i]) >= 0) continue;
    return Shown(text[i]) + " at character " + std::to_string(i + 1) +
           (text[i] == '=' ? " comes before the end" : " is no base64 character");
  }
  // The padding leaves the last digit's low bits out: a strict value has them zero.
  if (pad > 0 && (DigitValue(text[n - pad - 1]) & (pad == 2 ? 15 : 3)) != 0)
    return Shown(text[n - pad - 1]) + " before the padding sets bits that no byte takes";
  bytes->reserve(n / 4 * 3);
  for (size_t i = 0; i < n; i += 4) {
    uint32_t group = 0;
    for (size_t k = 0; k < 4; ++k)
      group = group << 6 | static_cast<uint32_t>(std::max(DigitValue(text[i + k]), 0));
    const size_t count = i + 4 < n ? 3 : 3 - pad;
    for (size_t k = 0; k < count; ++k) bytes->push_back(static_cast<uint8_t>(group >> (16 - 8 * k)));
  }
  return {};
}

PayloadElement FindPayloadElement(const std::string& page) {
  PayloadElement e;
  const std::string open = kPayloadOpenTag;
  const size_t first = page.find(open);
  size_t count = 0;
  for (size_t at = first; at != std::string::npos; at = page.find(open, at + open.size())) ++count;
  if (count != 1) {
    e.Error = (count == 0 ? std::string("no") : std::to_string(count)) + " payload element" +
              (count == 0 ? " " : "s ") + open + (count == 0 ? "" : ", where one belongs");
    return e;
  }
  e.Begin = first + open.size();
  e.End = page.find(kPayloadCloseTag, e.Begin);
  if (e.End == std::string::npos) e.Error = std::string("no ") + kPayloadCloseTag + " after " + open;
  return e;
}

PagePayloads ReadPagePayloads(const std::string& page) {
  PagePayloads p;
  const PayloadElement e = FindPayloadElement(page);
  p.Error = e.Error.empty() ? ReadContent(page.substr(e.Begin, e.End - e.Begin), &p) : e.Error;
  if (!p.Error.empty()) {
    const std::string error = std::move(p.Error);
    p = PagePayloads{};
    p.Error = error;
  }
  return p;
}

DigestCheck CheckPagePayload(const PagePayloads& page, PayloadKind kind) {
  const std::vector<uint8_t>& bytes = BytesOf(page, kind);
  const size_t bufferSize = kind == PayloadKind::kFirmware ? kFirmwareBufferSize : kLoaderBufferSize;
  return CheckExactDigest(bytes.data(), bytes.size(), bufferSize, page.Digest.data() + EntryOf(kind));
}

bool BuildPage(const std::string& templateText, const PagePayload* firmware, const PagePayload* loader,
               PageBuildResult* result) {
  *result = PageBuildResult{};
  const PagePayloads old = ReadPagePayloads(templateText);
  if (!old.Error.empty()) return Refuse(result, "Can not build a page from this template: " + old.Error);
  const struct {
    PayloadKind kind;
    const PagePayload* given;
  } payloads[] = {{PayloadKind::kFirmware, firmware}, {PayloadKind::kLoader, loader}};
  // As BuildUpdater: the files given first, then what the copy takes over, its digest before the rest.
  for (const auto& p : payloads) {
    if (!p.given) continue;
    const std::string what = std::string("The ") + KindName(p.kind) + " file " + p.given->Name;
    const std::string fault = CopyFault(p.kind, what, p.given->Bytes.data(), p.given->Bytes.size());
    if (!fault.empty()) return Refuse(result, fault);
  }
  for (const auto& p : payloads) {
    if (p.given) continue;
    const std::string damaged = DigestRefusal(CheckPagePayload(old, p.kind), KindName(p.kind), "page");
    if (!damaged.empty()) return Refuse(result, damaged);
    const std::vector<uint8_t>& bytes = BytesOf(old, p.kind);
    if (bytes.empty()) continue;
    const std::string what = std::string("The ") + KindName(p.kind) + " carried in this page";
    const std::string fault = CopyFault(p.kind, what, bytes.data(), bytes.size());
    if (!fault.empty()) return Refuse(result, fault);
  }

  std::array<uint8_t, kDigestRecordSize> record = old.Digest;
  for (const auto& p : payloads) {
    if (p.given)
      WriteDigestEntry(record.data() + EntryOf(p.kind), p.given->Bytes.data(), p.given->Bytes.size());
  }
  const std::vector<uint8_t>& loaderBytes = loader ? loader->Bytes : old.Loader;
  const std::vector<uint8_t>& firmwareBytes = firmware ? firmware->Bytes : old.Firmware;
  std::string content;
  auto line = [&](const char* name, const uint8_t* bytes, size_t n) {
    if (n == 0) return;
    content += (content.empty() ? "" : "\n") + std::string(name) + "=" + Base64Encode(bytes, n);
  };
  line("loader", loaderBytes.data(), loaderBytes.size());
  line("firmware", firmwareBytes.data(), firmwareBytes.size());
  const bool recorded = std::any_of(record.begin(), record.end(), [](uint8_t b) { return b != 0; });
  if (recorded) line("digest", record.data(), record.size());

  const PayloadElement e = FindPayloadElement(templateText);
  result->Page = templateText.substr(0, e.Begin) + content + templateText.substr(e.End);
  return true;
}

}  // namespace payload
