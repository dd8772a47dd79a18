// The updater builder: writes a copy of the running executable with a firmware file and/or a loader file
// placed into its payload buffers. Shows nothing; the caller presents the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "payload/CommandLine.h"
#include "payload/ExeFile.h"

namespace payload {

// The longest payload files a build takes: a firmware image leaves the firmware buffer's last four bytes
// free, a loader fills at most its buffer.
inline constexpr size_t kFirmwareCopyLimit = 1048572;
inline constexpr size_t kLoaderCopyLimit = 64000;

// The name a loader-only build (run mode 5) writes, which has no name on its command line.
inline constexpr char kLoaderOnlyTargetName[] = "UpdateLoad.exe";

enum class PayloadKind { kFirmware, kLoader };
// "firmware" or "loader".
const char* KindName(PayloadKind kind);
// kFirmwareCopyLimit or kLoaderCopyLimit.
size_t CopyLimit(PayloadKind kind);

// Why n payload bytes can not go into a copy; empty when they can. `what` names them for the message ("The
// firmware file fw.bin"); `length` says how long the payload is when n bytes are not all of it ("1500000
// bytes"; empty: n bytes). In this order: empty, longer than the copy limit, beginning with its buffer's
// empty test (four 0x55 for firmware, four 0x88 for a loader), and FirmwareFault or LoaderFault.
std::string CopyFault(PayloadKind kind, const std::string& what, const uint8_t* bytes, size_t n,
                      const std::string& length = {});

// A payload file for a build, read up to one byte more than its copy limit and held to CopyFault: the
// refusal ("Can not open firmware file: fw.bin: No such file or directory", ...), empty when it is sound.
std::string ReadCopyPayload(PayloadKind kind, const std::string& path, std::vector<uint8_t>* bytes);

// Writes size bytes to target beside it and renames them into place with the permission bits `mode`, so the
// target is either the old file or the complete new one. Throws IoError ("Name.exe: write error: ...").
void WriteCopy(const std::string& target, const uint8_t* data, size_t size, uint32_t mode);

struct BuildResult {
  bool Ok = false;
  std::string Message;     // empty on success; else for a message box captioned kMessageCaption
  int ExitCode = 1;        // 0 on success
  std::string OutputPath;  // the file written (on success) or that would have been written
};

// Builds cl.TargetName, completing it first: a name without ".exe" anywhere in it (case-sensitive) gets
// ".exe" appended (cl.TargetName changes), and a loader-only build without a name is called "UpdateLoad.exe".
//
// The firmware step comes before the loader step. A missing file gives "Can not open firmware file" or
// "Can not open loader file" and nothing is written. A payload goes only into its own buffer, found by its
// position in the executable file, whether that buffer is still empty or already carries a payload (a copy
// of a copy takes the new one); the rest of the buffer becomes 0xFF, so the size rule measures the new
// payload alone. Refused, with nothing written: an empty payload file, a firmware file over
// kFirmwareCopyLimit or a loader file over kLoaderCopyLimit bytes, a payload beginning with its buffer's
// empty test (four 0x55 for firmware, four 0x88 for a loader), an output that is the running executable, an
// executable whose buffers cannot be found, a payload the copy takes over from selfPath that does not match
// its digest. Each payload placed gets its entry in the digest record (payload/Digest.h); a payload taken
// over keeps its own. The output is written beside its final name and renamed into
// place, with the executable's permission bits; apart from the buffers and the digest record (and on
// Windows what FinishCopy changes: the signature, the checksum, the file description) it is byte-identical
// to selfPath.
BuildResult BuildUpdater(bool copyFirmware, bool copyLoader, CommandLine& cl,
                         const std::string& selfPath = SelfExecutablePath());

// Writes n payload bytes at the start of a buffer of bufferSize bytes (n <= bufferSize) and 0xFF over the
// rest.
void PlacePayload(uint8_t* buffer, size_t bufferSize, const uint8_t* bytes, size_t n);

}  // namespace payload
