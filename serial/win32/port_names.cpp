// Port names: "ComN" is the system's COM port N. The device namespace prefix reaches COM10 and above too,
// which a bare "COM10" does not.
#include "serial/CommOs.h"
#include "serial/PortNumber.h"
#include "serial/win32/port.h"

namespace commos {

std::string ResolvePortName(const std::string& name) {
  const long n = ComNumber(name);
  if (n <= 0) return name;
  return "\\\\.\\COM" + std::to_string(n);
}

// Windows gives a COM number to an adapter and keeps it there when it is plugged back in.
std::string StableName(const Handle& h) {
  if (!h || h->closed) return std::string();
  if (h->remote) return h->remote->Url();
  return h->path;
}

}  // namespace commos
