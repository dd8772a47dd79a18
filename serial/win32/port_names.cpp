// Port names: "ComN" is the system's COM port N. The device namespace prefix reaches COM10 and above too,
// which a bare "COM10" does not.
#include "serial/CommOs.h"

namespace commos {

namespace {

// N from "ComN" (any letter case, N >= 1), else 0.
long ComNumber(const std::string& name) {
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

}  // namespace

std::string ResolvePortName(const std::string& name) {
  const long n = ComNumber(name);
  if (n <= 0) return name;
  return "\\\\.\\COM" + std::to_string(n);
}

}  // namespace commos
