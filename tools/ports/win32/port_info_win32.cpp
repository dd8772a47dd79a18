#include "port_info_win32.h"

#include <cctype>
#include <map>

#include "serial/win32/win.h"
#include "toolkit/win32/Text.h"
// After <windows.h>.
#include <setupapi.h>

namespace ports::win32 {

namespace {

// The Ports device class ({4d36e978-e325-11ce-bfc1-08002be10318}), spelt out so no GUID library is needed.
constexpr GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// What the Ports device class tells about one port.
struct ClassEntry {
  std::string friendlyName;
  std::string manufacturer;
  std::string description;
  std::string service;
  std::vector<std::string> hardwareIds;
  std::string instanceId;
  std::optional<int> latencyMs;
};

// The COM number of a name such as "COM7" (any case), or 0.
int ComNumberOf(const std::string& name) {
  if (name.size() < 4 || name.size() > 6) return 0;
  for (int i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(name[static_cast<size_t>(i)])) != "COM"[i]) return 0;
  }
  int n = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

std::string HexDigitsAfter(const std::string& text, const std::string& key) {
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
    // A whole field only: "VID_" at the start or after a separator, four hex digits, then a separator or the
    // end.
    if (at > 0 && std::isalnum(static_cast<unsigned char>(text[at - 1]))) continue;
    const size_t from = at + key.size();
    if (from + 4 > text.size()) continue;
    std::string digits = text.substr(from, 4);
    bool hex = true;
    for (char& c : digits) {
      hex = hex && std::isxdigit(static_cast<unsigned char>(c));
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (hex && (from + 4 == text.size() || !std::isalnum(static_cast<unsigned char>(text[from + 4])))) {
      return digits;
    }
  }
  return {};
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string SerialOf(const std::string& instanceId) {
  const std::string upper = Upper(instanceId);
  const size_t first = instanceId.find('\\');
  if (first == std::string::npos) return {};
  const size_t second = instanceId.find('\\', first + 1);
  const std::string bus = upper.substr(0, first);
  if (bus == "USB") {
    // USB\VID_xxxx&PID_xxxx\SERIAL: the last part is the adapter's own serial unless Windows made it up.
    if (second == std::string::npos) return {};
    const std::string last = instanceId.substr(second + 1);
    return last.find('&') == std::string::npos ? last : std::string();
  }
  if (bus == "FTDIBUS") {
    // FTDIBUS\VID_xxxx+PID_xxxx+SERIAL\0000
    const std::string middle =
        instanceId.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    const size_t pid = Upper(middle).find("+PID_");
    if (pid == std::string::npos) return {};
    const size_t plus = middle.find('+', pid + 1);
    return plus == std::string::npos ? std::string() : middle.substr(plus + 1);
  }
  return {};
}

std::string Property(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD property) {
  wchar_t buffer[1024] = {};
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, &data, property, &type, reinterpret_cast<BYTE*>(buffer),
                                         sizeof buffer - sizeof(wchar_t), nullptr)) {
    return {};
  }
  return tk::win32::Narrow(std::wstring(buffer));
}

std::vector<std::string> MultiProperty(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD property) {
  wchar_t buffer[2048] = {};
  DWORD type = 0;
  std::vector<std::string> values;
  if (!SetupDiGetDeviceRegistryPropertyW(set, &data, property, &type, reinterpret_cast<BYTE*>(buffer),
                                         sizeof buffer - 2 * sizeof(wchar_t), nullptr)) {
    return values;
  }
  for (const wchar_t* p = buffer; *p; p += wcslen(p) + 1)
    values.push_back(tk::win32::Narrow(std::wstring(p)));
  return values;
}

std::string StringValue(HKEY key, const wchar_t* name) {
  wchar_t buffer[256] = {};
  DWORD size = sizeof buffer - sizeof(wchar_t);
  DWORD type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return {};
  }
  return tk::win32::Narrow(std::wstring(buffer));
}

// The Ports device class's present devices, by COM number.
std::map<int, ClassEntry> ClassEntries() {
  std::map<int, ClassEntry> entries;
  HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return entries;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    const int number = ComNumberOf(StringValue(key, L"PortName"));
    ClassEntry e;
    // FTDI's driver keeps the adapter's latency timer here.
    DWORD latency = 0, size = sizeof latency, type = 0;
    if (RegQueryValueExW(key, L"LatencyTimer", nullptr, &type, reinterpret_cast<BYTE*>(&latency), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD) {
      e.latencyMs = static_cast<int>(latency);
    }
    RegCloseKey(key);
    if (number <= 0) continue;
    e.friendlyName = Property(set, data, SPDRP_FRIENDLYNAME);
    e.manufacturer = Property(set, data, SPDRP_MFG);
    e.description = Property(set, data, SPDRP_DEVICEDESC);
    e.service = Property(set, data, SPDRP_SERVICE);
    e.hardwareIds = MultiProperty(set, data, SPDRP_HARDWAREID);
    wchar_t id[512] = {};
    if (SetupDiGetDeviceInstanceIdW(set, &data, id, 511, nullptr)) e.instanceId = tk::win32::Narrow(id);
    entries.emplace(number, std::move(e));
  }
  SetupDiDestroyDeviceInfoList(set);
  return entries;
}

// The serial map the port drivers keep (device object -> "COMn"), by COM number.
std::map<int, std::string> SerialMap() {
  std::map<int, std::string> map;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return map;
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[256] = {}, value[64] = {};
    DWORD nameSize = 255, valueSize = sizeof value - sizeof(wchar_t), type = 0;
    const LONG r =
        RegEnumValueW(key, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(value), &valueSize);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS || type != REG_SZ) continue;
    const int number = ComNumberOf(tk::win32::Narrow(std::wstring(value)));
    if (number > 0) map.emplace(number, tk::win32::Narrow(std::wstring(name)));
  }
  RegCloseKey(key);
  return map;
}

// The first target of a DOS device name ("\Device\Serial0"), or empty when Windows does not define it.
std::string DosTarget(int number) {
  wchar_t buffer[1024] = {};
  const std::wstring name = L"COM" + std::to_wstring(number);
  if (QueryDosDeviceW(name.c_str(), buffer, 1023) == 0) return {};
  return tk::win32::Narrow(std::wstring(buffer));
}

}  // namespace

std::optional<UsbInfo> UsbFromIds(const std::vector<std::string>& hardwareIds,
                                  const std::string& instanceId) {
  UsbInfo usb;
  std::vector<std::string> ids = {Upper(instanceId)};
  for (const std::string& id : hardwareIds) ids.push_back(Upper(id));
  for (const std::string& id : ids) {
    if (usb.vendorId.empty()) {
      usb.vendorId = HexDigitsAfter(id, "VID_");
      // Vendor and product from the same ID, so they describe one device.
      usb.productId = usb.vendorId.empty() ? std::string() : HexDigitsAfter(id, "PID_");
      if (usb.productId.empty()) usb.vendorId.clear();
    }
  }
  if (usb.vendorId.empty()) return std::nullopt;
  usb.serial = SerialOf(instanceId);
  return usb;
}

std::string LatencyHint(const std::string& friendlyName, int ms) {
  if (ms <= 1) return {};
  return "the adapter holds received bytes up to " + std::to_string(ms) +
         " ms; set its Latency Timer to 1 ms: Device Manager, " +
         (friendlyName.empty() ? std::string("the port") : friendlyName) +
         ", Properties, Port Settings, Advanced";
}

std::vector<PortInfo> ListPorts() {
  const std::map<int, ClassEntry> entries = ClassEntries();
  const std::map<int, std::string> serialMap = SerialMap();
  std::vector<PortInfo> ports;
  for (int n = 1; n <= 25; ++n) {
    const auto entry = entries.find(n);
    const auto mapped = serialMap.find(n);
    std::string device = DosTarget(n);
    if (device.empty() && mapped != serialMap.end()) device = mapped->second;
    if (device.empty() && entry == entries.end()) continue;
    PortInfo info;
    info.name = "Com" + std::to_string(n);
    // A device-list entry whose device object nobody names: the path the name opens says the most then.
    info.device = device.empty() ? commos::ResolvePortName(info.name) : device;
    info.friendlyName = std::string();
    if (entry != entries.end()) {
      const ClassEntry& e = entry->second;
      info.friendlyName = e.friendlyName;
      info.driver = e.service;
      info.usb = UsbFromIds(e.hardwareIds, e.instanceId);
      if (info.usb) {
        info.usb->manufacturer = e.manufacturer;
        info.usb->product = e.description;
      }
      info.latencyMs = e.latencyMs;
      if (e.latencyMs) info.hint = LatencyHint(e.friendlyName, *e.latencyMs);
    }
    FillStatus(info, info.name);
    ports.push_back(std::move(info));
  }
  return ports;
}

}  // namespace ports::win32
