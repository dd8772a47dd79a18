// Port names: "ComN" is the system's COM port N. The device namespace prefix reaches COM10 and above too,
// which a bare "COM10" does not.
#include "serial/CommOs.h"
#include "serial/PortName.h"
#include "serial/PortNumber.h"
#include "serial/win32/port.h"

namespace commos {

std::string ResolvePortName(const std::string& name) {
  // "\\.\com37" as typed is COM37 too: one spelling for the port, whichever the technician used.
  const bool prefixed = name.size() > 4 && name.compare(0, 4, "\\\\.\\") == 0;
  const long n = ComNumber(prefixed ? name.substr(4) : name);
  if (n <= 0) return name;
  return "\\\\.\\COM" + std::to_string(n);
}

std::string PortIdentity(const std::string& name) {
  if (LooksLikeUrl(name)) return name;
  // Device names and paths are the same in any letter case.
  std::string id = ResolvePortName(name);
  for (char& c : id) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return id;
}

// Windows gives a COM number to an adapter and keeps it there when it is plugged back in.
std::string StableName(const Handle& h) {
  if (!h || h->closed) return std::string();
  if (h->remote) return h->remote->Url();
  return h->path;
}

}  // namespace commos
