// Prints what the program reads in its own payload buffers; builds like the updater when given /u or /l.
//   loader_empty=0 firmware_empty=0 loader_size=501 firmware_size=2 loader_hash=... firmware_hash=...
//   loader_digest=match firmware_digest=none (the run-time check against the digest record)
//   loader_offset=... (where the loader buffer comes from in the file, by the program headers)
#include <cstdint>
#include <cstdio>

#include "payload/Buffers.h"
#include "payload/Builder.h"
#include "payload/CommandLine.h"
#include "payload/Digest.h"
#include "payload/SizeRule.h"
#include "tests/payload/test_files.h"

// Marker-like bytes outside the buffers: a builder that searched the image would write here.
extern "C" __attribute__((used))
const uint8_t brae_probe_decoy[] = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x55, 0x55, 0x55, 0x55};

static uint64_t Fnv(const uint8_t* p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

int main(int argc, char** argv) {
  payload::CommandLine cl = payload::ParseCommandLine(argc, argv);
  if (payload::BuildsUpdater(cl.RunMode)) {
    payload::BuildResult r =
        payload::BuildUpdater(payload::EmbedsFirmware(cl.RunMode), payload::EmbedsLoader(cl.RunMode), cl);
    std::printf("%s %s\n", r.Ok ? "built" : "failed", r.Ok ? cl.TargetName.c_str() : r.Message.c_str());
    return r.ExitCode;
  }
  uint32_t loader = payload::SizeOf(payload::LoaderBytes(), payload::kLoaderBufferSize);
  uint32_t firmware = payload::SizeOf(payload::FirmwareBytes(), payload::kFirmwareBufferSize);
  auto state = [](const payload::DigestCheck& c) {
    static const char* const kNames[] = {"none", "match", "mismatch", "damaged"};
    return kNames[c.state];
  };
  std::printf(
      "loader_empty=%d firmware_empty=%d loader_size=%u firmware_size=%u loader_hash=%016llx "
      "firmware_hash=%016llx loader_digest=%s firmware_digest=%s loader_offset=%ld\n",
      payload::LoaderBufferEmpty(), payload::FirmwareBufferEmpty(), loader, firmware,
      static_cast<unsigned long long>(Fnv(payload::LoaderBytes(), loader)),
      static_cast<unsigned long long>(Fnv(payload::FirmwareBytes(), firmware)),
      state(payload::CheckEmbeddedLoader()), state(payload::CheckEmbeddedFirmware()),
      payload_test::SelfLoaderOffset());
  return 0;
}
