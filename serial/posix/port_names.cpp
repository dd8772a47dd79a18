// Port names: "ComN" to a device path, and the name that keeps leading to an open port's device.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "serial/CommOs.h"
#include "serial/PortName.h"
#include "serial/PortNumber.h"
#include "serial/posix/devices.h"
#include "serial/posix/port.h"
#include "serial/posix/sysfs.h"

namespace commos {

namespace {

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        names.emplace_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string PortDir() {
  const char* dir = std::getenv("BRAE_PORT_DIR");
  return dir && *dir ? dir : "";
}

}  // namespace

std::string DeviceRoot() {
  const char* root = std::getenv("BRAE_DEV_ROOT");
  return root && *root ? root : "/dev";
}

std::vector<std::string> SerialDevices(const std::string& devRoot) {
  std::vector<std::string> result;
  const std::vector<std::string> names = Entries(devRoot);
  for (const std::string prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
    std::vector<std::pair<long, std::string>> found;
    for (const std::string& name : names) {
      if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
      const std::string digits = name.substr(prefix.size());
      if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
      found.emplace_back(std::strtol(digits.c_str(), nullptr, 10), devRoot + "/" + name);
    }
    std::sort(found.begin(), found.end());
    for (auto& f : found) result.push_back(f.second);
  }
  return result;
}

std::string ByIdLink(const std::string& device, const std::string& devRoot) {
  const std::string target = sysfs::RealPath(device);
  if (target.empty()) return std::string();
  const std::string dir = devRoot + "/serial/by-id";
  for (const std::string& name : Entries(dir)) {
    if (sysfs::RealPath(dir + "/" + name) == target) return dir + "/" + name;
  }
  return std::string();
}

bool ByIdNamesOneAdapter(const std::string& device, const std::string& devRoot, const std::string& sysRoot) {
  const std::string tty = sysfs::TtyDevice(sysRoot, sysfs::TtyName(device, devRoot));
  for (const std::string& dir : sysfs::FoldersUp(sysfs::RealPath(sysRoot), tty)) {
    if (::access((dir + "/idVendor").c_str(), F_OK) == 0) return !sysfs::Attribute(dir + "/serial").empty();
  }
  return true;
}

std::string ResolvePortName(const std::string& name) {
  const long n = ComNumber(name);
  if (n <= 0) return name;
  if (const std::string dir = PortDir(); !dir.empty()) return dir + "/com" + std::to_string(n);
  const auto devices = SerialDevices(DeviceRoot());
  if (static_cast<size_t>(n) <= devices.size()) return devices[static_cast<size_t>(n) - 1];
  return std::string();
}

std::string PortIdentity(const std::string& name) {
  if (LooksLikeUrl(name)) return name;
  const std::string path = ResolvePortName(name);
  if (path.empty()) return path;
  const std::string real = sysfs::RealPath(path);
  return real.empty() ? path : real;
}

std::string StableName(const Handle& h) {
  if (!h || h->closed) return std::string();
  if (h->remote) return h->remote->Url();
  // A port directory is all a test or the demo may ever open.
  if (!PortDir().empty() || h->disk) return h->path;
  const std::string link = ByIdLink(h->path, DeviceRoot());
  // sysfs knows the device by the node the path really reaches (a test's pseudo-terminal: by none).
  if (link.empty() || !ByIdNamesOneAdapter(sysfs::RealPath(h->path), "/dev", "/sys")) return h->path;
  return link;
}

}  // namespace commos
