#include "faults.h"

namespace sim {

bool Faults::on_byte(std::uint8_t& b, std::mt19937_64& rng) const {
  if (drop_prob_ > 0 && std::uniform_real_distribution<double>(0, 1)(rng) < drop_prob_) return false;
  if (garble_prob_ > 0 && std::uniform_real_distribution<double>(0, 1)(rng) < garble_prob_)
    b = static_cast<std::uint8_t>(b ^ (1u << (rng() % 8)));
  return true;
}

std::optional<std::size_t> Faults::vanish_within(long long received, std::size_t n) {
  if (!vanish_after_ || vanish_used_ || received + static_cast<long long>(n) < *vanish_after_) return {};
  vanish_used_ = true;
  return static_cast<std::size_t>(*vanish_after_ - received);
}

bool Faults::xoff_due(long long received) {
  if (!xoff_after_ || xoff_sent_ || received < *xoff_after_) return false;
  xoff_sent_ = true;
  return true;
}

}  // namespace sim
