#include "serial/PortNumber.h"

namespace commos {

long ComNumber(const std::string& name) {
  // At most nine digits, so N always fits.
  if (name.size() < 4 || name.size() > 12) return 0;
  auto lower = [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); };
  if (lower(name[0]) != 'c' || lower(name[1]) != 'o' || lower(name[2]) != 'm') return 0;
  long n = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

}  // namespace commos
