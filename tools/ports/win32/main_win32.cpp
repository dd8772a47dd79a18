// brae-ports.exe: shows what each port name Com1..Com25 stands for on this PC (the device it leads to, the
// name Device Manager gives it, the USB adapter and driver) and whether it opens now. A technician runs it
// to find the indicator's cable before an update; scripts read the same with --json.
#include <cstdio>
#include <string>

#include "port_info_win32.h"
#include "probe.h"
#include "serial/CommOs.h"
#include "toolkit/win32/Text.h"

namespace {

const char kUsage[] =
    "usage: brae-ports [--json] | --probe rfc2217://HOST:PORT\n"
    "Lists the port names Com1..Com25 that this PC has, with the device each one leads to, the name Device\n"
    "Manager gives it, the USB adapter (vendor:product, maker, product, serial number), the driver, and\n"
    "whether it opens now (if not: busy or gone).\n"
    "  --json   the same as one JSON object (see the manual page)\n"
    "  --probe rfc2217://HOST:PORT\n"
    "           connects to a device server and shows what it accepts (binary transfer, the com-port\n"
    "           option, the line's rate, which requests it confirms); exit status 1 when it cannot be used\n";

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
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
    } else if (a == "--help" || a == "-h" || a == "/?") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  // Names from the device list are UTF-8 here.
  const tk::win32::Utf8Console utf8;
  const std::vector<ports::PortInfo> found = ports::win32::ListPorts();
  const std::string out = json ? ports::FormatJson(found, "") : ports::FormatText(found, "");
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);  // while the console is still in UTF-8
  return 0;
}
