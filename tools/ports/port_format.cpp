// What both systems print: a port's open test, the listing for people and the JSON for scripts. Only the
// gathering of the facts differs (sysfs and /proc here, the registry and SetupAPI on Windows).
#include <cstdint>
#include <cstdio>

#include "port_info.h"
#include "serial/CommOs.h"
#include "toolkit/text/JsonString.h"

namespace ports {

namespace {

// JSON text for any bytes: valid UTF-8 passes, anything else becomes U+FFFD, so the output always parses.
std::string Json(const std::string& s) {
  return tk::JsonString(s, {tk::JsonStringStyle::NotUtf8::Replacement, false});
}

std::string JsonOrNull(const std::string& s) {
  return s.empty() ? std::string("null") : Json(s);
}

}  // namespace

void FillStatus(PortInfo& info, const std::string& openName,
                const std::function<std::vector<Holder>()>& holders) {
  const commos::Handle handle = commos::CreateFile(openName);
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
      if (holders) info.holders = holders();
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
    case commos::ErrorKind::Pending:  // never: the open above waits
      info.status = Status::Error;
      break;
  }
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
    if (p.friendlyName && !p.friendlyName->empty()) line("name:    ", *p.friendlyName);
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
    out += "{\"name\": " + Json(p.name) + ", \"device\": " + Json(p.device);
    if (p.friendlyName) out += ", \"friendly_name\": " + JsonOrNull(*p.friendlyName);
    out += ", \"by_id\": " + JsonOrNull(p.byId);
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
