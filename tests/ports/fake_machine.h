// A machine of files for tests: a sysfs tree laid out as the kernel lays out USB serial adapters, modem-class
// adapters and built-in ports, and a /dev with by-id links. Devices a test wants to open are links to real
// pseudo-terminals.
#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "tests/support/files.h"

namespace testing_support {

struct UsbAdapter {
  std::string tty;      // ttyUSB0, ttyACM0
  std::string driver;   // ftdi_sio, cp210x, cdc_acm
  std::string busPort;  // "1-2": the USB device's folder
  std::string vendorId, productId;
  std::optional<std::string> manufacturer, product, serial;  // nullopt: the adapter reports none
  std::optional<int> latencyMs;                              // nullopt: the driver shows no timer
};

class FakeMachine {
 public:
  FakeMachine() {
    sys = dir / "sys";
    dev = dir / "dev";
    proc = dir / "proc";
    for (const std::string& d : {sys + "/class/tty", dev + "/serial/by-id", proc}) Mkdirs(d);
  }

  // A USB adapter. Serial converters (ttyUSB) have a usb-serial port device between the interface and the
  // tty, which carries the driver and the latency timer; modem-class adapters (ttyACM) hang off the
  // interface itself.
  void AddUsb(const UsbAdapter& a) {
    const std::string usbDev = sys + "/devices/pci0000:00/0000:00:14.0/usb1/" + a.busPort;
    const std::string iface = usbDev + "/" + a.busPort + ":1.0";
    Mkdirs(iface);
    WriteFile(usbDev + "/idVendor", a.vendorId + "\n");
    WriteFile(usbDev + "/idProduct", a.productId + "\n");
    if (a.manufacturer) WriteFile(usbDev + "/manufacturer", *a.manufacturer + "\n");
    if (a.product) WriteFile(usbDev + "/product", *a.product + "\n");
    if (a.serial) WriteFile(usbDev + "/serial", *a.serial + "\n");
    const bool acm = a.tty.rfind("ttyACM", 0) == 0;
    Link(iface + "/driver", Driver("usb", a.driver));
    std::string device = iface;
    if (!acm) {
      device = iface + "/" + a.tty;
      Mkdirs(device);
      Link(device + "/driver", Driver("usb-serial", a.driver));
      if (a.latencyMs) WriteFile(device + "/latency_timer", std::to_string(*a.latencyMs) + "\n");
    }
    AddTty(a.tty, device);
  }

  // A built-in port on the platform bus.
  void AddBuiltin(const std::string& tty, const std::string& node) {
    const std::string device = sys + "/devices/pnp0/" + node;
    Mkdirs(device);
    Link(device + "/driver", Driver("pnp", "serial"));
    AddTty(tty, device);
  }

  // /dev/<tty> as a link to `target` (a pty slave, a file, or nothing at all), with a by-id name if given.
  void AddDevice(const std::string& tty, const std::string& target, const std::string& byId = "") {
    Link(dev + "/" + tty, target);
    if (!byId.empty()) Link(dev + "/serial/by-id/" + byId, "../../" + tty);
  }

  TempDir dir;
  std::string sys, dev, proc;

  static void Mkdirs(const std::string& path) { std::filesystem::create_directories(path); }
  static void Link(const std::string& at, const std::string& target) {
    std::filesystem::create_symlink(target, at);
  }

 private:
  std::string Driver(const std::string& bus, const std::string& name) {
    const std::string path = sys + "/bus/" + bus + "/drivers/" + name;
    Mkdirs(path);
    return path;
  }
  void AddTty(const std::string& tty, const std::string& device) {
    const std::string node = device + "/tty/" + tty;
    Mkdirs(node);
    WriteFile(node + "/dev", "188:0\n");
    Link(node + "/device", device);
    Link(sys + "/class/tty/" + tty, node);
  }
};

// Runs `job` in a child process without root (as nobody, when this process is root: root may write and open
// anything) and returns what it returned; nullopt when the child could not give root up or did not finish.
inline std::optional<std::string> AsUnprivileged(const std::function<std::string()>& job) {
  int fds[2];
  if (::pipe(fds) != 0) return std::nullopt;
  const pid_t child = ::fork();
  if (child < 0) return std::nullopt;
  if (child == 0) {
    ::close(fds[0]);
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
      _exit(3);
    const std::string out = job();
    [[maybe_unused]] const ssize_t n = ::write(fds[1], out.data(), out.size());
    _exit(0);
  }
  ::close(fds[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

}  // namespace testing_support
