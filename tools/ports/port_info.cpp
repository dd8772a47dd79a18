#include "port_info.h"

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/CommOs.h"
#include "serial/posix/devices.h"
#include "serial/posix/low_latency.h"
#include "serial/posix/sysfs.h"

namespace ports {

namespace {

using commos::sysfs::Attribute;
using commos::sysfs::Basename;
using commos::sysfs::RealPath;

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        names.emplace_back(e->d_name);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void FillSysfs(PortInfo& info, const std::string& tty, const Roots& roots) {
  const std::string device = commos::sysfs::TtyDevice(roots.sys, tty);
  if (device.empty()) return;
  info.driver = Basename(RealPath(device + "/driver"));
  // The USB device is the first folder above the tty with a vendor ID.
  for (const std::string& dir : commos::sysfs::FoldersUp(RealPath(roots.sys), device)) {
    if (::access((dir + "/idVendor").c_str(), F_OK) == 0) {
      UsbInfo usb;
      usb.vendorId = Attribute(dir + "/idVendor");
      usb.productId = Attribute(dir + "/idProduct");
      usb.manufacturer = Attribute(dir + "/manufacturer");
      usb.product = Attribute(dir + "/product");
      usb.serial = Attribute(dir + "/serial");
      info.usb = usb;
      break;
    }
  }
  info.latencyMs = commos::lowlat::LatencyTimerMs(roots.sys, tty);
  if (info.latencyMs && *info.latencyMs > 1) info.hint = commos::lowlat::LatencyHint(tty, *info.latencyMs);
}

void FillGroup(PortInfo& info) {
  struct stat st {};
  if (::stat(info.device.c_str(), &st) != 0) return;
  group g{};
  group* found = nullptr;
  std::vector<char> buf(16384);
  info.group = ::getgrgid_r(st.st_gid, &g, buf.data(), buf.size(), &found) == 0 && found
                   ? std::string(found->gr_name)
                   : std::to_string(st.st_gid);
  info.inGroup = ::getegid() == st.st_gid;
  const int n = ::getgroups(0, nullptr);
  if (n > 0) {
    std::vector<gid_t> groups(static_cast<size_t>(n));
    const int got = ::getgroups(n, groups.data());
    for (int i = 0; i < got; ++i) info.inGroup = info.inGroup || groups[static_cast<size_t>(i)] == st.st_gid;
  }
}

}  // namespace

std::vector<std::string> SerialDevices(const std::string& devRoot) {
  // The updater's own count, so that both name the same device for the same ComN.
  return commos::SerialDevices(devRoot);
}

std::vector<Holder> Holders(const std::string& procRoot, const std::string& device) {
  std::vector<Holder> holders;
  const std::string target = RealPath(device);
  if (target.empty()) return holders;
  for (const std::string& pid : Entries(procRoot)) {
    if (!AllDigits(pid)) continue;
    const std::string fdDir = procRoot + "/" + pid + "/fd";
    for (const std::string& fd : Entries(fdDir)) {
      char link[PATH_MAX];
      const ssize_t n = ::readlink((fdDir + "/" + fd).c_str(), link, sizeof link - 1);
      if (n <= 0 || std::string(link, static_cast<size_t>(n)) != target) continue;
      holders.push_back({std::strtol(pid.c_str(), nullptr, 10), Attribute(procRoot + "/" + pid + "/comm")});
      break;
    }
  }
  std::sort(holders.begin(), holders.end(), [](const Holder& a, const Holder& b) { return a.pid < b.pid; });
  return holders;
}

PortInfo Describe(const std::string& name, const std::string& device, const Roots& roots) {
  PortInfo info;
  info.name = name;
  info.device = device;
  info.byId = commos::ByIdLink(device, roots.dev);
  FillSysfs(info, commos::sysfs::TtyName(device, roots.dev), roots);
  FillGroup(info);
  FillStatus(info, info.device, [&] { return Holders(roots.proc, info.device); });
  return info;
}

}  // namespace ports
