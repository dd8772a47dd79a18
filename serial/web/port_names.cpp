// Port names in the page: the ports it has granted, by their place in its list ("web:N"), by number
// ("ComN", as everywhere), and by their USB identity, which survives a replug (a new SerialPort, a new N).
#include <cstdio>
#include <cstdlib>

#include "serial/PortName.h"
#include "serial/PortNumber.h"
#include "serial/web/port.h"

namespace commos {

namespace {

constexpr char kUsb[] = "usb:";

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string UsbName(int id) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%s%04x:%04x", web::kPrefix, kUsb, (id >> 16) & 0xFFFF, id & 0xFFFF);
  return text;
}

// The ports plugged in now with that USB identity: how many, and the last one added.
int PresentWithUsbId(int id, int* last) {
  int count = 0;
  for (int i = 0, n = brae_serial_count(); i < n; ++i) {
    if (brae_serial_present(i) && brae_serial_usb_id(i) == id) {
      ++count;
      *last = i;
    }
  }
  return count;
}

// The USB identity in "web:usb:VVVV:PPPP", else -1.
int UsbIdOf(const std::string& name) {
  const std::string prefix = std::string(web::kPrefix) + kUsb;
  if (name.size() != prefix.size() + 9 || name.compare(0, prefix.size(), prefix) != 0 ||
      name[prefix.size() + 4] != ':') {
    return -1;
  }
  char* end = nullptr;
  const long vendor = std::strtol(name.substr(prefix.size(), 4).c_str(), &end, 16);
  if (*end) return -1;
  const long product = std::strtol(name.substr(prefix.size() + 5).c_str(), &end, 16);
  if (*end) return -1;
  return static_cast<int>((vendor << 16) | product);
}

}  // namespace

int web::IndexOf(const std::string& name) {
  const std::string prefix = kPrefix;
  if (name.compare(0, prefix.size(), prefix) != 0) return -1;
  const std::string digits = name.substr(prefix.size());
  if (!AllDigits(digits) || digits.size() > 6) return -1;
  return std::atoi(digits.c_str());
}

std::string web::NameOf(int index) {
  return kPrefix + std::to_string(index);
}

std::string ResolvePortName(const std::string& name) {
  if (const long n = ComNumber(name); n > 0) return n <= brae_serial_count() ? web::NameOf(n - 1) : "";
  if (const int id = UsbIdOf(name); id >= 0) {
    int last = -1;
    return PresentWithUsbId(id, &last) > 0 ? web::NameOf(last) : "";
  }
  return name;
}

std::string PortIdentity(const std::string& name) {
  if (LooksLikeUrl(name)) return name;
  const int index = web::IndexOf(ResolvePortName(name));
  return index >= 0 && index < brae_serial_count() ? web::NameOf(index) : "";
}

std::string StableName(const Handle& h) {
  if (detail::Unusable(h)) return std::string();
  // The USB identity finds the adapter again after a replug, unless another one plugged in has it too.
  const int id = brae_serial_usb_id(h->index);
  int last = -1;
  if (id >= 0 && PresentWithUsbId(id, &last) == 1) return UsbName(id);
  return h->name;
}

}  // namespace commos
