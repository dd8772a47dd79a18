// brae-ports: shows what each port name Com1..Com25 stands for on this machine (device, by-id name, USB
// adapter, driver, group) and whether it opens now. A technician runs it to find the indicator's cable
// before an update; scripts read the same with --json.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "port_info.h"
#include "probe.h"
#include "serial/CommOs.h"
#include "serial/posix/devices.h"

namespace {

const char kUsage[] =
    "usage: brae-ports [--json] | --probe rfc2217://HOST:PORT\n"
    "Lists the port names Com1..Com25 with the device each one opens: its /dev/serial/by-id name, the USB\n"
    "adapter (vendor:product, maker, product, serial number), the driver, the owning group and whether you\n"
    "are in it, and whether it opens now (if not: busy and by which process, no permission, or gone).\n"
    "With BRAE_PORT_DIR set, ComN is $BRAE_PORT_DIR/comN; otherwise the serial devices of this machine in "
    "the\n"
    "order /dev/ttyUSB*, /dev/ttyACM*, /dev/ttyS*, each by number.\n"
    "  --json   the same as one JSON object (see the manual page)\n"
    "  --probe rfc2217://HOST:PORT\n"
    "           connects to a device server and shows what it accepts (binary transfer, the com-port\n"
    "           option, the line's rate, which requests it confirms); exit status 1 when it cannot be used\n";

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  ports::Roots roots;
  roots.dev = commos::DeviceRoot();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--probe" && i + 1 < argc) {
      std::string text;
      const bool usable = ports::ProbeRemote(argv[++i], &text);
      std::fputs(text.c_str(), stdout);
      return usable ? 0 : 1;
    }
    if (a == "--json") {
      json = true;
    } else if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if ((a == "--sys-root" || a == "--dev-root" || a == "--proc-root") && i + 1 < argc) {
      // Undocumented: describe a tree other than this machine's (tests, and the README's example).
      (a == "--sys-root" ? roots.sys : a == "--dev-root" ? roots.dev : roots.proc) = argv[++i];
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  const char* dir = std::getenv("BRAE_PORT_DIR");
  const std::string portDir = dir && *dir ? dir : "";
  std::vector<ports::PortInfo> found;
  const std::vector<std::string> devices =
      portDir.empty() ? ports::SerialDevices(roots.dev) : std::vector<std::string>{};
  for (int n = 1; n <= 25; ++n) {
    const std::string name = "Com" + std::to_string(n);
    std::string device;
    if (!portDir.empty()) {
      device = commos::ResolvePortName(name);
      // A port directory names only what it holds; a dangling link is a port that is gone.
      struct stat st {};
      if (lstat(device.c_str(), &st) != 0) continue;
    } else if (static_cast<size_t>(n) <= devices.size()) {
      device = devices[static_cast<size_t>(n) - 1];
    } else {
      break;
    }
    found.push_back(ports::Describe(name, device, roots));
  }
  const std::string out = json ? ports::FormatJson(found, portDir) : ports::FormatText(found, portDir);
  std::fputs(out.c_str(), stdout);
  return 0;
}
