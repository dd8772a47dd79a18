// Payloads for tests: a firmware image whose every byte counts, and a loader of sound S-records.
#pragma once

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace testing_support {

// Random bytes with no 0xFF at the end, so the size rule counts them all.
inline std::string FirmwareImage(size_t size, unsigned seed = 7) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  if (!s.empty()) s.back() = 0x42;
  return s;
}

// A loader the simulated indicator accepts: sound S1 records and an S9 end record, CR LF line ends.
inline std::string LoaderText(size_t dataBytes = 512) {
  std::string out;
  char buf[8];
  for (size_t a = 0; a < dataBytes; a += 32) {
    const size_t n = std::min<size_t>(32, dataBytes - a);
    const unsigned addr = 0x1000 + static_cast<unsigned>(a);
    std::vector<unsigned> body = {static_cast<unsigned>(n + 3), addr >> 8, addr & 0xFF};
    for (size_t i = 0; i < n; ++i) body.push_back(static_cast<unsigned>((a + i) * 7 & 0xFF));
    unsigned sum = 0;
    out += "S1";
    for (unsigned b : body) {
      std::snprintf(buf, sizeof buf, "%02X", b);
      out += buf;
      sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X", ~sum & 0xFF);
    out += buf;
    out += "\r\n";
  }
  return out + "S9030000FC\r\n";
}

}  // namespace testing_support
