#include "stats.h"

#include <algorithm>

namespace sim {

void TurnaroundStats::tx_drained(Time now) {
  if (!z_queued_) return;
  z_queued_ = false;
  z_sent_ = now;
}

void TurnaroundStats::bytes_arrived(Time now) {
  if (!z_sent_) return;
  turnaround_ms_.push_back(std::chrono::duration<double, std::milli>(now - *z_sent_).count());
  z_sent_.reset();
}

std::string TurnaroundStats::summary() const {
  if (turnaround_ms_.empty()) return "stats: no block acknowledgement was followed by another block\n";
  std::vector<double> t = turnaround_ms_;
  std::sort(t.begin(), t.end());
  auto at = [&](double p) { return t[static_cast<std::size_t>(p * static_cast<double>(t.size() - 1))]; };
  char line[160];
  std::snprintf(line, sizeof line,
                "stats: Z -> next block, %zu turnarounds: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                t.size(), at(0.5), at(0.99), t.back());
  return line;
}

}  // namespace sim
