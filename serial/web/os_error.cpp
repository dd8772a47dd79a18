// The last error in the page: the JavaScript side names a failure by its kind (the DOMException's name
// mapped in web_serial_lines.js) and says it in words; the hints are for a technician at a browser.
#include <cstdint>

#include "serial/last_error.h"
#include "serial/web/port.h"

namespace commos::detail {

namespace {

// web_serial_lines.js's KIND.
constexpr CodeKind kKinds[] = {
    {1, ErrorKind::Missing}, {2, ErrorKind::Busy},  {3, ErrorKind::Denied},
    {4, ErrorKind::Gone},    {5, ErrorKind::Other},
};

constexpr KindHint kHints[] = {
    {ErrorKind::Missing, " (not among the ports this page may use: grant the port to the page first)"},
    {ErrorKind::Busy, " (another program holds the port, or the system refused to open it)"},
    {ErrorKind::Denied, " (the browser does not let this page use the port: grant it again)"},
};

}  // namespace

bool Fail(const std::string& what, const std::string& reason, ErrorKind kind) {
  return Record(what, reason, kind, HintIn(kHints, kind));
}

bool FailWith(const std::string& what, const std::string& reason, int kindCode) {
  return Fail(what, reason, KindIn(kKinds, kindCode));
}

bool FailClosed(const Handle& h) {
  return Fail(h ? h->name : std::string("serial port"), "the port is not open", ErrorKind::Other);
}

bool FailGone(const Port& p) {
  return Fail(p.name, p.goneText.empty() ? "the port has gone" : p.goneText, ErrorKind::Gone);
}

int LineReason(int line, std::string* text) {
  char buffer[512];
  const int kind = brae_serial_reason(line, buffer, sizeof buffer);
  *text = buffer;
  return kind;
}

}  // namespace commos::detail
