// The line faults the options ask for: bytes dropped or garbled at random, and the one-off faults that
// come after a number of received bytes (an XOFF that no XON follows, the line vanishing for a while).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>

#include "options.h"

namespace sim {

class Faults {
 public:
  explicit Faults(const Options& o)
      : drop_prob_(o.drop_prob),
        garble_prob_(o.garble_prob),
        vanish_after_(o.vanish_after),
        xoff_after_(o.xoff_after) {}

  // Drops the byte (false) or flips one of its bits, as the probabilities say.
  bool on_byte(std::uint8_t& b, std::mt19937_64& rng) const;
  // With `received` bytes taken before and `n` more arriving: how many of the n still arrive before the line
  // vanishes, or nothing when it does not vanish within them. The line vanishes once.
  std::optional<std::size_t> vanish_within(long long received, std::size_t n);
  // Whether the XOFF is due with `received` bytes taken (at 0 already when the line opens). Once only.
  bool xoff_due(long long received);

 private:
  double drop_prob_;
  double garble_prob_;
  std::optional<long long> vanish_after_;
  std::optional<long long> xoff_after_;
  bool vanish_used_ = false;
  bool xoff_sent_ = false;
};

}  // namespace sim
