#include "payload/Builder.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "payload/Buffers.h"
#include "payload/Digest.h"
#include "payload/ElfPayload.h"
#include "payload/ExeFile.h"
#include "payload/OsFile.h"
#include "payload/PayloadFile.h"
#include "payload/PayloadSizes.h"
#include "payload/SizeRule.h"
#include "toolkit/files/WriteBeside.h"

namespace payload {
namespace {

// A build that stops: the message for the user, nothing written.
struct Refusal {
  std::string message;
};

// One payload file whole, refused when it is missing or unreadable, and as CopyFault says. Read up to one
// byte more than its buffer takes, so that a huge file is not read whole only to be refused.
std::vector<uint8_t> ReadPayload(PayloadKind kind, const std::string& path) {
  const char* name = KindName(kind);
  if (!PayloadFile::Exists(path))
    throw Refusal{std::string("Can not open ") + name + " file" + WhyNotOpen(path)};
  std::vector<uint8_t> bytes(CopyLimit(kind) + 1);
  try {
    PayloadFile file;
    file.Open(path);
    bytes.resize(file.Read(bytes.data(), bytes.size()));
  } catch (const IoError& e) {
    throw Refusal{std::string("Can not read ") + name + " file " + e.what()};
  }
  std::string length;
  uint64_t size = 0;
  if (bytes.size() > CopyLimit(kind))
    length = RegularFileSize(path, &size) ? std::to_string(size) + " bytes" : "longer";
  const std::string fault =
      CopyFault(kind, std::string("The ") + name + " file " + path, bytes.data(), bytes.size(), length);
  if (!fault.empty()) throw Refusal{fault};
  return bytes;
}

void RefuseFault(const std::string& fault) {
  if (!fault.empty()) throw Refusal{fault};
}

void RefuseDamaged(const DigestCheck& check, const char* kind) {
  const std::string refusal = DigestRefusal(check, kind);
  if (!refusal.empty()) throw Refusal{refusal};
}

// What a copy carries, for its file properties: its firmware, else its loader, as "N-byte firmware, SHA-256 "
// and the digest's first 16 digits; the size and digest the record holds, or the bytes' own for a payload
// taken over from a copy built before digests were recorded.
std::string Carries(const uint8_t* firmware, const DigestCheck& firmwareDigest, const uint8_t* loader,
                    const DigestCheck& loaderDigest) {
  auto describe = [](const DigestCheck& c, const char* kind) {
    return std::to_string(c.Length) + "-byte " + kind + ", SHA-256 " + HexOf(c.Actual, 16);
  };
  if (!StartsWithMarker(firmware, kFirmwareMarkerByte, kEmptyTestLength)) {
    return describe(firmwareDigest, "firmware");
  }
  if (!StartsWithMarker(loader, kLoaderMarkerByte, kEmptyTestLength)) return describe(loaderDigest, "loader");
  return "";
}

}  // namespace

const char* KindName(PayloadKind kind) {
  return kind == PayloadKind::kFirmware ? "firmware" : "loader";
}

size_t CopyLimit(PayloadKind kind) {
  return kind == PayloadKind::kFirmware ? kFirmwareCopyLimit : kLoaderCopyLimit;
}

std::string CopyFault(PayloadKind kind, const std::string& what, const uint8_t* bytes, size_t n,
                      const std::string& length) {
  const std::string name = KindName(kind);
  const size_t limit = CopyLimit(kind);
  if (n == 0) return what + " is empty";
  if (n > limit) {
    return what + " is too long (" + (length.empty() ? std::to_string(n) + " bytes" : length) +
           "): at most " + std::to_string(limit) + " bytes fit into the " + name + " buffer";
  }
  const uint8_t marker = kind == PayloadKind::kFirmware ? kFirmwareMarkerByte : kLoaderMarkerByte;
  if (n >= kEmptyTestLength && StartsWithMarker(bytes, marker, kEmptyTestLength)) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", marker);
    std::string mark = hex;
    for (size_t i = 1; i < kEmptyTestLength; ++i) mark += std::string(" ") + hex;
    return what + " begins with " + mark + ", the mark of an empty " + name +
           " buffer: a copy carrying it could never update";
  }
  return kind == PayloadKind::kFirmware ? FirmwareFault(what, bytes, n) : LoaderFault(what, bytes, n);
}

// Writes the image beside the target and renames it into place, so the target is either the old file or the
// complete new one.
void WriteCopy(const std::string& target, const uint8_t* data, size_t size, uint32_t mode) {
  const tk::WriteBesideResult w =
      tk::WriteBesideAndRename(target, data, size, static_cast<tk::FileMode>(mode));
  using Failure = tk::WriteBesideResult::Failure;
  switch (w.failure) {
    case Failure::None:
      return;
    case Failure::Directory:
    case Failure::Create:
      throw IoError(IoMessage(target, "can not create a file beside it", w.error));
    case Failure::Foreign:
      throw IoError(IoMessage(target, "belongs to another user", w.error));
    case Failure::Write:
      throw IoError(IoMessage(target, "write error", w.error));
    case Failure::Permissions:
      throw IoError(IoMessage(target, "can not set its permissions", w.error));
    case Failure::Rename:
      throw IoError(IoMessage(target, "can not put it in place", w.error));
  }
}

std::string ReadCopyPayload(PayloadKind kind, const std::string& path, std::vector<uint8_t>* bytes) {
  try {
    *bytes = ReadPayload(kind, path);
  } catch (const Refusal& r) {
    return r.message;
  }
  return {};
}

void PlacePayload(uint8_t* buffer, size_t bufferSize, const uint8_t* bytes, size_t n) {
  std::memcpy(buffer, bytes, n);
  // Whatever the buffer held before (its marker, or an earlier payload) must not count as part of this one.
  std::memset(buffer + n, 0xFF, bufferSize - n);
}

BuildResult BuildUpdater(bool copyFirmware, bool copyLoader, CommandLine& cl, const std::string& selfPath) {
  BuildResult result;
  if (cl.TargetName.find(".exe") == std::string::npos) {
    if (cl.TargetName.empty() && copyLoader && !copyFirmware) {
      cl.TargetName = kLoaderOnlyTargetName;
    } else {
      cl.TargetName += ".exe";
    }
  }
  const std::string& target = cl.TargetName;
  result.OutputPath = target;

  try {
    uint32_t permissions = 0;
    try {
      permissions = ExecutablePermissions(selfPath);
    } catch (const IoError& e) {
      throw Refusal{std::string("Can not read the running program ") + e.what()};
    }
    if (SameFile(target, selfPath))
      throw Refusal{target + " is this updater's own file; choose another name"};

    std::vector<uint8_t> image;
    try {
      image = ReadWholeFile(selfPath);
    } catch (const IoError& e) {
      throw Refusal{std::string("Can not read the running program ") + e.what()};
    }
    PayloadLocation where;
    std::string why;
    if (!LocatePayload(image.data(), image.size(), &where, &why)) {
      throw Refusal{"Can not build " + target + ": " + selfPath + ": " + why};
    }

    uint8_t* const record = image.data() + where.DigestOffset;
    if (copyFirmware) {
      auto bytes = ReadPayload(PayloadKind::kFirmware, cl.FirmwarePath);
      PlacePayload(image.data() + where.FirmwareOffset, kFirmwareBufferSize, bytes.data(), bytes.size());
      WriteDigestEntry(record + kFirmwareDigestEntry, bytes.data(), bytes.size());
    }
    if (copyLoader) {
      auto bytes = ReadPayload(PayloadKind::kLoader, cl.LoaderPath);
      PlacePayload(image.data() + where.LoaderOffset, kLoaderBufferSize, bytes.data(), bytes.size());
      WriteDigestEntry(record + kLoaderDigestEntry, bytes.data(), bytes.size());
    }
    // Each buffer is read once against its entry: for the damage check and for the copy's description.
    const uint8_t* const firmware = image.data() + where.FirmwareOffset;
    const uint8_t* const loader = image.data() + where.LoaderOffset;
    const DigestCheck firmwareDigest =
        CheckDigest(firmware, kFirmwareBufferSize, record + kFirmwareDigestEntry);
    const DigestCheck loaderDigest = CheckDigest(loader, kLoaderBufferSize, record + kLoaderDigestEntry);
    // A payload the copy takes over goes with its entry; a damaged one must not travel on into new copies.
    if (!copyFirmware) RefuseDamaged(firmwareDigest, "firmware");
    if (!copyLoader) RefuseDamaged(loaderDigest, "loader");
    // What the copy takes over from this program is held to the same test as a file it is given.
    if (!copyFirmware && !StartsWithMarker(firmware, kFirmwareMarkerByte, kEmptyTestLength)) {
      RefuseFault(FirmwareFault("This updater's embedded firmware", firmware, kFirmwareBufferSize));
    }
    if (!copyLoader && !StartsWithMarker(loader, kLoaderMarkerByte, kEmptyTestLength)) {
      RefuseFault(LoaderFault("This updater's embedded loader", loader, SizeOf(loader, kLoaderBufferSize)));
    }

    FinishCopy(&image, Carries(firmware, firmwareDigest, loader, loaderDigest));
    try {
      WriteCopy(target, image.data(), image.size(), permissions);
    } catch (const IoError& e) {
      throw Refusal{std::string("Can not write ") + e.what()};
    }
  } catch (const Refusal& r) {
    result.Message = r.message;
    return result;
  }
  result.Ok = true;
  result.ExitCode = 0;
  return result;
}

}  // namespace payload
