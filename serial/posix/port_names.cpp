// Port names: "ComN" to a device path.
#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "serial/CommOs.h"
#include "serial/PortNumber.h"

namespace commos {

namespace {

// The machine's serial devices in the documented order: USB adapters, then USB modems (CDC ACM), then the
// built-in ports; by number within each kind.
std::vector<std::string> SerialDevices() {
  std::vector<std::string> result;
  for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
    std::vector<std::pair<long, std::string>> found;
    if (DIR* dir = opendir("/dev")) {
      const size_t len = std::strlen(prefix);
      while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() <= len || name.compare(0, len, prefix) != 0) continue;
        const std::string digits = name.substr(len);
        if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
        found.emplace_back(std::strtol(digits.c_str(), nullptr, 10), "/dev/" + name);
      }
      closedir(dir);
    }
    std::sort(found.begin(), found.end());
    for (auto& f : found) result.push_back(f.second);
  }
  return result;
}

}  // namespace

std::string ResolvePortName(const std::string& name) {
  const long n = ComNumber(name);
  if (n <= 0) return name;
  if (const char* dir = std::getenv("BRAE_PORT_DIR"); dir && *dir) {
    return std::string(dir) + "/com" + std::to_string(n);
  }
  const auto devices = SerialDevices();
  if (static_cast<size_t>(n) <= devices.size()) return devices[static_cast<size_t>(n) - 1];
  return std::string();
}

}  // namespace commos
