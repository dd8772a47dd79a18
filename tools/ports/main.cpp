// brae-ports: shows which device each port name Com1..Com25 stands for on this machine, and whether it opens.
// A technician runs it to find the indicator's cable before an update.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "serial/SerialPort.h"
#include "toolkit/loop/LoopRuntime.h"

int main(int argc, char** argv) {
  if (argc > 1) {
    std::printf(
        "usage: brae-ports\n"
        "Lists the port names Com1..Com25 with the device each one opens and whether it can be opened now.\n"
        "With BRAE_PORT_DIR set, ComN is $BRAE_PORT_DIR/comN; otherwise the serial devices of this machine "
        "in the\n"
        "order /dev/ttyUSB*, /dev/ttyACM*, /dev/ttyS*, each by number.\n");
    return argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") ? 0 : 2;
  }
  tk::LoopRuntime rt(tk::LoopRuntime::Clock::Real);
  tk::Install(&rt);
  if (const char* dir = std::getenv("BRAE_PORT_DIR"); dir && *dir) {
    std::printf("BRAE_PORT_DIR=%s: ComN opens %s/comN\n", dir, dir);
  }
  int usable = 0;
  for (int n = 1; n <= 25; ++n) {
    const std::string name = "Com" + std::to_string(n);
    const std::string path = commos::ResolvePortName(name);
    if (path.empty()) continue;
    serial::TSerialPort port;
    int error = 0;
    port.OnError = [&](serial::TCustomComm*, int code) {
      if (!error) error = code;
    };
    port.SetDeviceName(name);
    port.Open();
    if (port.Connected() && error == 0) {
      ++usable;
      std::printf("%-6s %-24s opens\n", name.c_str(), path.c_str());
    } else {
      std::printf("%-6s %-24s %s: %s\n", name.c_str(), path.c_str(), serial::CommErrorText(error).c_str(),
                  port.LastOsError().c_str());
    }
    port.Close();
  }
  while (!tk::Thread::WaitForDetachedThreads(0)) rt.RunFor(10);
  tk::Install(nullptr);
  std::printf("%d port(s) can be opened now.\n", usable);
  return 0;
}
