// The one JSON string writer, in both of its styles: what the updater's JSON lines and brae-ports print.
#include <gtest/gtest.h>

#include <string>

#include "toolkit/text/JsonString.h"

namespace {

using Style = tk::JsonStringStyle;
constexpr Style kUpdater{Style::NotUtf8::Latin1, true};
constexpr Style kPorts{Style::NotUtf8::Replacement, false};

TEST(JsonString, BothStylesWriteEachByteAsTheirOutputsSay) {
  const struct {
    const char* what;
    std::string in;
    std::string updater;
    std::string ports;
  } rows[] = {
      {"empty", "", R"("")", R"("")"},
      {"quote and backslash", "a\"b\\c", R"("a\"b\\c")", R"("a\"b\\c")"},
      {"line ends and tab", "\r\n\t", R"("\r\n\t")", R"("\u000d\u000a\u0009")"},
      {"NUL, other controls, DEL", std::string("\0\x01\x1f\x7f", 4), R"("\u0000\u0001\u001f\u007f")",
       R"("\u0000\u0001\u001f\u007f")"},
      {"slash and text", "/ stays", R"("/ stays")", R"("/ stays")"},
      {"valid UTF-8 of 2, 3 and 4 bytes", "\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80",
       "\"\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80\"", "\"\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80\""},
      {"highest code point", "\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\"", "\"\xF4\x8F\xBF\xBF\""},
      {"8-bit text",
       "\xB0"
       "C",
       R"("\u00b0C")", R"("\ufffdC")"},
      {"a lone high byte", "\xFF", R"("\u00ff")", R"("\ufffd")"},
      {"stray continuation", "\x80", R"("\u0080")", R"("\ufffd")"},
      {"a sequence cut off at the end", "\xE2\x82", R"("\u00e2\u0082")", R"("\ufffd\ufffd")"},
      {"a sequence cut off by ASCII",
       "\xE2"
       "A",
       R"("\u00e2A")", R"("\ufffdA")"},
      {"overlong slash", "\xC0\xAF", R"("\u00c0\u00af")", R"("\ufffd\ufffd")"},
      {"overlong three-byte", "\xE0\x80\xAF", R"("\u00e0\u0080\u00af")", R"("\ufffd\ufffd\ufffd")"},
      {"surrogate", "\xED\xA0\x80", R"("\u00ed\u00a0\u0080")", R"("\ufffd\ufffd\ufffd")"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", R"("\u00f4\u0090\u0080\u0080")",
       R"("\ufffd\ufffd\ufffd\ufffd")"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.updater, tk::JsonString(row.in, kUpdater)) << row.what;
    EXPECT_EQ(row.ports, tk::JsonString(row.in, kPorts)) << row.what;
  }
}

}  // namespace
