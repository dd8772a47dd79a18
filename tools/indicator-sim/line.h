// The line as the simulator models it: bytes take their time on the wire (pacing), and a UART at the wrong
// rate samples noise (rate mismatch).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>

#include "transcript.h"

namespace sim {

// One byte on the wire at `rate` baud: ten bits (start, eight data, stop).
std::chrono::nanoseconds byte_time(int rate);
// Paced bytes move in bursts of a few milliseconds' worth rather than one wake-up per byte.
Clock::duration pace_quantum(int rate);

// One direction of a paced wire.
class Pacer {
 public:
  // A line (re)opened: nothing is in flight.
  void restart(Time now) {
    free_at_ = now;
    idle_ = true;
  }
  // How many of `want` bytes have crossed the wire by `now`; the wire's free time moves on by them. A quiet
  // wire earns no credit: the first byte after it starts crossing now. While bytes keep coming the wire is
  // busy, and a late wake-up loses nothing: the bytes that have crossed meanwhile are all taken.
  std::size_t budget(Time now, int rate, std::size_t want);
  // Bytes budgeted that turned out not to be there: they never took wire time.
  void give_back(int rate, std::size_t n) { free_at_ -= byte_time(rate) * static_cast<long long>(n); }
  // Nothing in flight any more: the next byte starts crossing when it comes.
  void go_idle() { idle_ = true; }
  bool idle() const { return idle_; }
  // When the next paced transfer is due: once `pending` bytes (at least one, at most a quantum's worth)
  // have crossed.
  Time due(int rate, std::size_t pending) const;

 private:
  Time free_at_{};
  bool idle_ = true;
};

// Noise from a rate mismatch: high-bit bytes, never a character the protocol uses.
std::uint8_t garbage(std::mt19937_64& rng);
// The rate for the transcript: "9600", or "an unknown rate".
std::string rate_text(std::optional<int> rate);

}  // namespace sim
