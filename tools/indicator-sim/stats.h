// --stats: the device's turnaround as the updater sees it, from a Z fully on the wire to the next bytes
// from the updater.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "transcript.h"

namespace sim {

class TurnaroundStats {
 public:
  // The device has queued a Z for the wire.
  void z_queued() { z_queued_ = true; }
  // Everything queued for the wire has left at `now`.
  void tx_drained(Time now);
  // A Z is out and the updater's next bytes are awaited.
  bool awaiting() const { return z_sent_.has_value(); }
  // Bytes from the updater have arrived at `now`.
  void bytes_arrived(Time now);
  // One line: the count, median, p99 and maximum (in ms).
  std::string summary() const;

 private:
  bool z_queued_ = false;
  std::optional<Time> z_sent_;
  std::vector<double> turnaround_ms_;
};

}  // namespace sim
