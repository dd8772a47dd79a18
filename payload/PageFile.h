// The payloads of a web page: the updater's page (brae-update.html, and every page built from it) carries its
// loader, firmware and digest record as text in one element, so that the page's own code (this code, compiled
// for the browser) and the command line read and write them alike. No system calls.
//
// A page holds kPayloadOpenTag exactly once; its content runs to the next kPayloadCloseTag. The content is
// empty (the template) or lines separated by "\n", in this order, each only when it applies:
//   loader=<base64>    the loader's bytes
//   firmware=<base64>  the firmware's bytes
//   digest=<base64>    the digest record (payload/Digest.h): the SHA-256 entry of each payload a build placed
// Base64 has the standard alphabet and padding, one value to a line. A build changes the content alone; every
// other byte of the page stays as it was.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "payload/Builder.h"
#include "payload/Digest.h"

namespace payload {

inline constexpr char kPayloadOpenTag[] = "<script id=\"brae-payload\" type=\"application/octet-stream\">";
inline constexpr char kPayloadCloseTag[] = "</script>";

std::string Base64Encode(const uint8_t* bytes, size_t n);
// Decodes `text` into *bytes; else why it is no strict base64: a character outside the alphabet, a length
// that is no multiple of 4, '=' anywhere but in the last two places, bits that the padding leaves out set.
std::string Base64Decode(const std::string& text, std::vector<uint8_t>* bytes);

// Where the payload element's content lies in a page: from Begin (just after the opening tag) to End (where
// kPayloadCloseTag begins). Error says why there is no such element, or more than one; empty when found.
struct PayloadElement {
  size_t Begin = 0;
  size_t End = 0;
  std::string Error;
};
PayloadElement FindPayloadElement(const std::string& page);

// What a page carries. A payload or a record that is not there is empty (the record: all zeros).
struct PagePayloads {
  std::string Error;  // why the page's payloads can not be read; empty when they were
  bool HasLoader = false;
  bool HasFirmware = false;
  bool HasDigest = false;
  std::vector<uint8_t> Loader;
  std::vector<uint8_t> Firmware;
  std::array<uint8_t, kDigestRecordSize> Digest{};
};
// Refused: no payload element or more than one, a line that is not one of the three or comes twice or out of
// order, an empty value, a value that is no base64, a digest record that is not kDigestRecordSize bytes.
PagePayloads ReadPagePayloads(const std::string& page);

// A page's firmware or loader against its entry in the page's record, an absent payload as no bytes:
// kNone (the entry is zeros, or the page has no record), kMatch, kMismatch (the page was damaged after its
// build), kDamagedRecord. DigestRefusal(check, KindName(kind), "page") says it for the user.
DigestCheck CheckPagePayload(const PagePayloads& page, PayloadKind kind);

// A payload for a build: its bytes, and the name of the file they came from ("fw.bin") for the messages.
struct PagePayload {
  std::string Name;
  std::vector<uint8_t> Bytes;
};

struct PageBuildResult {
  std::string Page;   // the built page
  std::string Error;  // why the build was refused, for a message box captioned kMessageCaption; empty if not
};

// Builds a page from templateText, a template or a built page (a copy of a copy), with `firmware` and
// `loader` placed; a null one is taken over from templateText, if it carries one, together with its digest
// entry. Refused, with result->Error as the executable builder says it (BuildUpdater): a template whose
// payloads can not be read, a payload that CopyFault refuses ("The firmware file fw.bin is empty"), a payload
// taken over that does not match its entry ("The loader carried in this page does not match ...") or that
// CopyFault refuses. Each payload placed gets its digest entry. False when refused.
bool BuildPage(const std::string& templateText, const PagePayload* firmware, const PagePayload* loader,
               PageBuildResult* result);

}  // namespace payload
