#include "line.h"

#include <algorithm>

namespace sim {

std::chrono::nanoseconds byte_time(int rate) {
  return std::chrono::nanoseconds(10'000'000'000LL / rate);
}

Clock::duration pace_quantum(int rate) {
  return std::max<Clock::duration>(byte_time(rate), std::chrono::milliseconds(4));
}

std::size_t Pacer::budget(Time now, int rate, std::size_t want) {
  const auto per_byte = byte_time(rate);
  if (idle_) {
    free_at_ = std::max(free_at_, now);
    idle_ = false;
  }
  const auto n =
      std::min(static_cast<std::size_t>(std::max<Clock::duration>(now - free_at_, {}) / per_byte), want);
  free_at_ += per_byte * static_cast<long long>(n);
  return n;
}

Time Pacer::due(int rate, std::size_t pending) const {
  const auto per_byte = byte_time(rate);
  return free_at_ +
         std::min<Clock::duration>(pace_quantum(rate),
                                   per_byte * static_cast<long long>(std::max<std::size_t>(pending, 1)));
}

std::uint8_t garbage(std::mt19937_64& rng) {
  return static_cast<std::uint8_t>(0x80u | (rng() & 0x7Fu));
}

std::string rate_text(std::optional<int> rate) {
  return rate ? std::to_string(*rate) : "an unknown rate";
}

}  // namespace sim
