#include "faults.h"

namespace sim {

bool Faults::on_byte(std::uint8_t& b, std::mt19937_64& rng) const {
  if (o_.drop_prob > 0 && std::uniform_real_distribution<double>(0, 1)(rng) < o_.drop_prob) return false;
  if (o_.garble_prob > 0 && std::uniform_real_distribution<double>(0, 1)(rng) < o_.garble_prob)
    b = static_cast<std::uint8_t>(b ^ (1u << (rng() % 8)));
  return true;
}

std::optional<std::size_t> Faults::vanish_within(long long received, std::size_t n) {
  if (!o_.vanish_after || vanish_used_ || received + static_cast<long long>(n) < *o_.vanish_after) return {};
  vanish_used_ = true;
  return static_cast<std::size_t>(*o_.vanish_after - received);
}

bool Faults::xoff_due(long long received) {
  if (!o_.xoff_after || xoff_sent_ || received < *o_.xoff_after) return false;
  xoff_sent_ = true;
  return true;
}

}  // namespace sim
