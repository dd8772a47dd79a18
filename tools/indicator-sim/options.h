// Command line of brae-indicator-sim.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device.h"

namespace sim {

struct Options {
  std::string link;    // pty slave symlink
  std::string device;  // or a real tty
  bool pace = false;
  DeviceConfig dev;
  std::string image_out;
  std::string transcript;  // empty: stderr
  bool quiet = false;      // no transcript at all
  bool exit_after_update = false;
  bool stats = false;  // print timing figures at the end (benchmarks)
  std::optional<long long> timeout_ms;

  std::uint64_t seed = 1;
  double drop_prob = 0;
  double garble_prob = 0;
  std::optional<long long> vanish_after;  // received bytes
  long long vanish_ms = 1000;
  std::optional<long long> xoff_after;  // received bytes
  std::optional<long long> xon_ms;      // the XON after the XOFF, or none ever
};

struct ParseResult {
  enum class Kind { Run, Help, Error } kind = Kind::Run;
  Options options;
  std::string error;
};

ParseResult parse_options(const std::vector<std::string>& args);
const char* help_text();

}  // namespace sim
