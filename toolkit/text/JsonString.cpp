#include "toolkit/text/JsonString.h"

#include <cstdio>

namespace tk {

namespace {

// The length of the well-formed UTF-8 sequence at `i`, or 0 when the byte there does not start one (a stray
// continuation byte, an overlong form, a surrogate, a code point above U+10FFFF, a cut-off sequence).
size_t Utf8SequenceAt(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  const size_t left = s.size() - i;
  const auto cont = [&](size_t k) { return (byte(k) & 0xC0) == 0x80; };
  if (b0 >= 0xC2 && b0 <= 0xDF) return left >= 2 && cont(i + 1) ? 2 : 0;
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (left < 3 || !cont(i + 1) || !cont(i + 2)) return 0;
    const unsigned char b1 = byte(i + 1);
    if (b0 == 0xE0 && b1 < 0xA0) return 0;   // overlong
    if (b0 == 0xED && b1 >= 0xA0) return 0;  // UTF-16 surrogate
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (left < 4 || !cont(i + 1) || !cont(i + 2) || !cont(i + 3)) return 0;
    const unsigned char b1 = byte(i + 1);
    if (b0 == 0xF0 && b1 < 0x90) return 0;   // overlong
    if (b0 == 0xF4 && b1 >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

void AppendEscaped(std::string& out, unsigned c) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04x", c);
  out += buf;
}

}  // namespace

std::string JsonString(const std::string& text, JsonStringStyle style) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const size_t n = Utf8SequenceAt(text, i);
      if (n > 0) {
        out.append(text, i, n);
        i += n;
        continue;
      }
      AppendEscaped(out, style.notUtf8 == JsonStringStyle::NotUtf8::Latin1 ? c : 0xFFFD);
    } else if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (style.shortEscapes && (c == '\n' || c == '\r' || c == '\t')) {
      out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      AppendEscaped(out, c);
    } else {
      out.push_back(static_cast<char>(c));
    }
    ++i;
  }
  out.push_back('"');
  return out;
}

}  // namespace tk
