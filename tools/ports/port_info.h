// What a port name stands for on this machine, told the way a technician knows the hardware: the device, its
// stable /dev/serial/by-id name, the USB adapter behind it, the driver, the owning group, and whether it
// opens now (and why not). The roots of sysfs, /dev and /proc are parameters, so tests describe trees of
// their own. Windows tells a port's device, friendly name, adapter and driver instead (win32/).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ports {

struct Roots {
  std::string sys = "/sys";
  std::string dev = "/dev";
  std::string proc = "/proc";
};

struct UsbInfo {
  std::string vendorId;  // four hex digits, as sysfs has them
  std::string productId;
  std::string manufacturer;  // strings the adapter reports; empty when it reports none
  std::string product;
  std::string serial;
};

struct Holder {
  long pid = 0;
  std::string command;
};

enum class Status { Opens, Busy, NoPermission, Gone, Error };

struct PortInfo {
  std::string name;    // "Com1"
  std::string device;  // the path ComN opens (Windows: the device object the name leads to)
  // What Windows calls the port in its device list ("USB Serial Port (COM3)"); empty when it has no entry
  // there, unset where the system has no such name (Linux), and then left out of the output.
  std::optional<std::string> friendlyName;
  std::string byId;  // its /dev/serial/by-id link, or empty
  std::optional<UsbInfo> usb;
  std::string driver;  // kernel driver, or empty when sysfs does not tell
  std::string group;   // owning group's name (its number when it has none); empty when the device is missing
  bool inGroup = false;  // this process has that group
  Status status = Status::Error;
  std::string reason;            // the OS's words when it does not open
  std::vector<Holder> holders;   // processes that have it open, when busy
  std::optional<int> latencyMs;  // the adapter's latency timer
  std::string hint;              // what to do about a slow timer
};

// Opens `openName` briefly, as the updater would, and sets the status and the reason; `holders` names the
// processes holding a busy port (where the system tells).
void FillStatus(PortInfo& info, const std::string& openName,
                const std::function<std::vector<Holder>()>& holders = nullptr);

const char* StatusName(Status status);  // "opens", "busy", "no-permission", "gone", "error"

// The listing for people, and the same as one JSON object for scripts. `portDir` is BRAE_PORT_DIR, or empty.
std::string FormatText(const std::vector<PortInfo>& ports, const std::string& portDir);
std::string FormatJson(const std::vector<PortInfo>& ports, const std::string& portDir);

#if !defined(_WIN32)
// The machine's serial devices under `devRoot`, in the order ComN counts them: ttyUSB*, ttyACM*, ttyS*, by
// number within each kind.
std::vector<std::string> SerialDevices(const std::string& devRoot);

// Everything about one port; `device` is the path its name opens. Opens the device briefly, as the updater
// would.
PortInfo Describe(const std::string& name, const std::string& device, const Roots& roots);

// Processes under `procRoot` with `device` open (by the file it resolves to).
std::vector<Holder> Holders(const std::string& procRoot, const std::string& device);
#endif

}  // namespace ports
