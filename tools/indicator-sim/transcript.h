// The line transcript: what the device received and answered, with milliseconds since start.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

namespace sim {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;

class Transcript {
 public:
  // Writes to `out` (not owned); nullptr discards everything.
  Transcript(std::FILE* out, Time start) : out_(out), start_(start) {}

  void log(Time now, std::string_view text);
  Time start() const { return start_; }

 private:
  std::FILE* out_;
  Time start_;
};

// Printable form of line bytes for the transcript: ASCII as is, the rest as <XX>, cut after `limit`
// input bytes with a count of what was left out.
std::string printable(std::string_view bytes, std::size_t limit = 48);

}  // namespace sim
