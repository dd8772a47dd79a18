// A JSON string from any bytes, for every program of the project that writes JSON. Well-formed UTF-8 passes
// unchanged; what a byte that is not part of it becomes is decided here, in one place, in the two forms the
// programs' documented outputs use.
#pragma once

#include <string>

namespace tk {

struct JsonStringStyle {
  enum class NotUtf8 {
    // \u00XX, the Latin-1 character of that byte: the byte can be read back (the updater's log lines carry
    // the indicator's 8-bit text).
    Latin1,
    // \ufffd: the byte is lost, the text shows that something was there (brae-ports, which reads names from
    // the system that are UTF-8 or nothing).
    Replacement,
  };
  NotUtf8 notUtf8 = NotUtf8::Latin1;
  // \n, \r and \t as themselves rather than \u000a, \u000d and \u0009.
  bool shortEscapes = true;
};

// `text` as a JSON string, quotes included. The quote and the backslash are escaped, and so are the control
// characters and DEL, always as \u00XX but for the short escapes the style allows.
std::string JsonString(const std::string& text, JsonStringStyle style = {});

}  // namespace tk
