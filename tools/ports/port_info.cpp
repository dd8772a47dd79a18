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
#include <fstream>

#include "serial/CommOs.h"
#include "serial/posix/low_latency.h"

namespace ports {

namespace {

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::string Basename(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Parent(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// A sysfs attribute: its first line, or empty.
std::string Attribute(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

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

// The name sysfs knows the device by: the link's target when it is a device of /dev itself (a by-id link,
// a port-directory link to a real device), else the name it is called by (a test tree's ttyUSB0 on a pty).
std::string TtyName(const std::string& device, const Roots& roots) {
  const std::string real = RealPath(device);
  const std::string devRoot = RealPath(roots.dev);
  if (!devRoot.empty() && real.rfind(devRoot + "/", 0) == 0 &&
      real.find('/', devRoot.size() + 1) == std::string::npos) {
    return Basename(real);
  }
  return Basename(device);
}

std::string ById(const std::string& device, const Roots& roots) {
  const std::string target = RealPath(device);
  if (target.empty()) return std::string();
  const std::string dir = roots.dev + "/serial/by-id";
  for (const std::string& name : Entries(dir)) {
    if (RealPath(dir + "/" + name) == target) return dir + "/" + name;
  }
  return std::string();
}

void FillSysfs(PortInfo& info, const std::string& tty, const Roots& roots) {
  const std::string deviceLink = roots.sys + "/class/tty/" + tty + "/device";
  const std::string device = RealPath(deviceLink);
  if (device.empty()) return;
  info.driver = Basename(RealPath(device + "/driver"));
  // The USB device is the first folder above the tty with a vendor ID; stop at the sysfs root.
  const std::string sysRoot = RealPath(roots.sys);
  if (sysRoot.empty()) return;
  for (std::string dir = device; dir.size() > sysRoot.size() && dir.rfind(sysRoot, 0) == 0;
       dir = Parent(dir)) {
    if (Exists(dir + "/idVendor")) {
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

void FillStatus(PortInfo& info, const Roots& roots) {
  const commos::Handle handle = commos::CreateFile(info.device);
  if (handle) {
    const bool disk = commos::GetFileType(handle) == commos::FILE_TYPE_DISK;
    commos::CloseHandle(handle);
    if (disk) {
      info.status = Status::Error;
      info.reason = info.device + ": a regular file, not a serial device";
    } else {
      info.status = Status::Opens;
    }
    return;
  }
  info.reason = commos::LastErrorText();
  switch (commos::LastErrorKind()) {
    case commos::ErrorKind::Busy:
      info.status = Status::Busy;
      info.holders = Holders(roots.proc, info.device);
      break;
    case commos::ErrorKind::Denied:
      info.status = Status::NoPermission;
      break;
    case commos::ErrorKind::Missing:
    case commos::ErrorKind::Gone:
      info.status = Status::Gone;
      break;
    case commos::ErrorKind::None:
    case commos::ErrorKind::Other:
      info.status = Status::Error;
      break;
  }
}

// JSON text for any bytes: valid UTF-8 passes, anything else becomes U+FFFD, so the output always parses.
std::string Json(const std::string& s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || c == 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      // Length and lowest value of a well-formed sequence by its first byte.
      const size_t len = c >= 0xc2 && c <= 0xdf   ? 2
                         : c >= 0xe0 && c <= 0xef ? 3
                         : c >= 0xf0 && c <= 0xf4 ? 4
                                                  : 0;
      bool ok = len > 0 && i + len <= s.size();
      uint32_t cp = len == 2 ? c & 0x1f : len == 3 ? c & 0x0f : c & 0x07;
      for (size_t k = 1; ok && k < len; ++k) {
        const auto cc = static_cast<unsigned char>(s[i + k]);
        ok = (cc & 0xc0) == 0x80;
        cp = (cp << 6) | (cc & 0x3f);
      }
      ok = ok && !(len == 3 && cp < 0x800) && !(len == 4 && (cp < 0x10000 || cp > 0x10ffff)) &&
           !(cp >= 0xd800 && cp <= 0xdfff);
      if (ok) {
        out.append(s, i, len);
        i += len;
      } else {
        out += "\\ufffd";
        ++i;
      }
    }
  }
  return out + "\"";
}

std::string JsonOrNull(const std::string& s) {
  return s.empty() ? std::string("null") : Json(s);
}

}  // namespace

std::vector<std::string> SerialDevices(const std::string& devRoot) {
  std::vector<std::string> result;
  const std::vector<std::string> names = Entries(devRoot);
  for (const std::string prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
    std::vector<std::pair<long, std::string>> found;
    for (const std::string& name : names) {
      if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
          AllDigits(name.substr(prefix.size()))) {
        found.emplace_back(std::strtol(name.c_str() + prefix.size(), nullptr, 10), devRoot + "/" + name);
      }
    }
    std::sort(found.begin(), found.end());
    for (auto& f : found) result.push_back(f.second);
  }
  return result;
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
  info.byId = ById(device, roots);
  FillSysfs(info, TtyName(device, roots), roots);
  FillGroup(info);
  FillStatus(info, roots);
  return info;
}

const char* StatusName(Status status) {
  switch (status) {
    case Status::Opens:
      return "opens";
    case Status::Busy:
      return "busy";
    case Status::NoPermission:
      return "no-permission";
    case Status::Gone:
      return "gone";
    case Status::Error:
      break;
  }
  return "error";
}

std::string FormatText(const std::vector<PortInfo>& ports, const std::string& portDir) {
  std::string out;
  if (!portDir.empty()) out += "BRAE_PORT_DIR=" + portDir + ": ComN opens " + portDir + "/comN\n";
  int usable = 0;
  for (const PortInfo& p : ports) {
    out += p.name + std::string(p.name.size() < 6 ? 6 - p.name.size() : 1, ' ') + p.device + "\n";
    auto line = [&out](const char* label, const std::string& text) {
      out += std::string("       ") + label + text + "\n";
    };
    if (!p.byId.empty()) line("by-id:   ", p.byId);
    if (p.usb) {
      std::string usb = p.usb->vendorId + ":" + p.usb->productId;
      const std::string maker = p.usb->manufacturer +
                                (p.usb->manufacturer.empty() || p.usb->product.empty() ? "" : " ") +
                                p.usb->product;
      if (!maker.empty()) usb += " " + maker;
      if (!p.usb->serial.empty()) usb += ", serial " + p.usb->serial;
      line("usb:     ", usb);
    }
    if (!p.driver.empty()) line("driver:  ", p.driver);
    if (!p.group.empty())
      line("group:   ", p.group + (p.inGroup ? " (you are in it)" : " (you are not in it)"));
    std::string state;
    switch (p.status) {
      case Status::Opens:
        ++usable;
        state = "yes";
        break;
      case Status::Busy:
        state = "no, busy";
        for (size_t i = 0; i < p.holders.size(); ++i) {
          state += (i == 0 ? ": held by " : ", ") + p.holders[i].command + " (pid " +
                   std::to_string(p.holders[i].pid) + ")";
        }
        break;
      case Status::NoPermission:
        state = "no, no permission";
        break;
      case Status::Gone:
        state = "no, gone";
        break;
      case Status::Error:
        state = "no";
        break;
    }
    line("opens:   ", state);
    if (p.status != Status::Opens && !p.reason.empty()) line("         ", p.reason);
    if (p.latencyMs) line("latency: ", std::to_string(*p.latencyMs) + " ms");
    if (!p.hint.empty()) line("hint:    ", p.hint);
  }
  out += std::to_string(usable) + " port(s) can be opened now.\n";
  return out;
}

std::string FormatJson(const std::vector<PortInfo>& ports, const std::string& portDir) {
  std::string out = "{\"port_dir\": " + JsonOrNull(portDir) + ", \"ports\": [";
  for (size_t i = 0; i < ports.size(); ++i) {
    const PortInfo& p = ports[i];
    out += i ? ",\n  " : "\n  ";
    out += "{\"name\": " + Json(p.name) + ", \"device\": " + Json(p.device) +
           ", \"by_id\": " + JsonOrNull(p.byId);
    out += ", \"usb\": ";
    if (p.usb) {
      out += "{\"vendor_id\": " + Json(p.usb->vendorId) + ", \"product_id\": " + Json(p.usb->productId) +
             ", \"manufacturer\": " + JsonOrNull(p.usb->manufacturer) +
             ", \"product\": " + JsonOrNull(p.usb->product) + ", \"serial\": " + JsonOrNull(p.usb->serial) +
             "}";
    } else {
      out += "null";
    }
    out += ", \"driver\": " + JsonOrNull(p.driver) + ", \"group\": " + JsonOrNull(p.group) +
           ", \"in_group\": " +
           (p.group.empty() ? "null"
            : p.inGroup     ? "true"
                            : "false");
    out += ", \"opens\": " + std::string(p.status == Status::Opens ? "true" : "false") +
           ", \"status\": " + Json(StatusName(p.status)) +
           ", \"reason\": " + JsonOrNull(p.status == Status::Opens ? "" : p.reason);
    out += ", \"holders\": [";
    for (size_t k = 0; k < p.holders.size(); ++k) {
      out += (k ? ", " : "") + std::string("{\"pid\": ") + std::to_string(p.holders[k].pid) +
             ", \"command\": " + Json(p.holders[k].command) + "}";
    }
    out += "], \"latency_timer_ms\": " + (p.latencyMs ? std::to_string(*p.latencyMs) : std::string("null")) +
           ", \"hint\": " + JsonOrNull(p.hint) + "}";
  }
  out += ports.empty() ? "]}\n" : "\n]}\n";
  return out;
}

}  // namespace ports
