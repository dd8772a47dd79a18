// The table walk and the message both operating-system layers build their last error with.
#include "serial/last_error.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using commos::ErrorKind;
using commos::detail::CodeKind;
using commos::detail::KindHint;

TEST(SerialLastError, TheFirstEntryForACodeWinsAndAnUnknownCodeIsOther) {
  // Two names for one code (EAGAIN and EWOULDBLOCK on some systems) may both be listed.
  constexpr CodeKind table[] = {
      {0, ErrorKind::None}, {5, ErrorKind::Busy}, {5, ErrorKind::Denied}, {0x80000000LL, ErrorKind::Gone}};
  struct Case {
    int64_t code;
    ErrorKind kind;
  } const cases[] = {
      {0, ErrorKind::None},  {5, ErrorKind::Busy},   {0x80000000LL, ErrorKind::Gone},
      {6, ErrorKind::Other}, {-5, ErrorKind::Other},
  };
  for (const Case& c : cases) EXPECT_EQ(commos::detail::KindIn(table, c.code), c.kind) << c.code;
  EXPECT_EQ(commos::detail::KindIn({}, 0), ErrorKind::Other);
}

TEST(SerialLastError, TheSystemsHintComesBeforeTheSharedOne) {
  constexpr KindHint own[] = {{ErrorKind::Missing, " (own missing)"}, {ErrorKind::Busy, " (own busy)"}};
  struct Case {
    ErrorKind kind;
    std::string withOwn, withNone;
  } const cases[] = {
      {ErrorKind::Missing, " (own missing)", ""},
      {ErrorKind::Busy, " (own busy)", " (another program holds the port open)"},
      {ErrorKind::Gone, " (the device stopped answering; was it unplugged?)",
       " (the device stopped answering; was it unplugged?)"},
      {ErrorKind::Denied, "", ""},
      {ErrorKind::None, "", ""},
      {ErrorKind::Other, "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(commos::detail::HintIn(own, c.kind), c.withOwn) << static_cast<int>(c.kind);
    EXPECT_EQ(commos::detail::HintIn({}, c.kind), c.withNone) << static_cast<int>(c.kind);
  }
}

TEST(SerialLastError, RecordsTheTextAndKindOfTheLatestFailure) {
  EXPECT_FALSE(commos::detail::Record("COM3", "Access is denied", ErrorKind::Busy, " (hint)"));
  EXPECT_EQ(commos::LastErrorText(), "COM3: Access is denied (hint)");
  EXPECT_EQ(commos::LastErrorKind(), ErrorKind::Busy);
  EXPECT_FALSE(commos::detail::Record("/dev/x", "Input/output error", ErrorKind::Other, ""));
  EXPECT_EQ(commos::LastErrorText(), "/dev/x: Input/output error");
  EXPECT_EQ(commos::LastErrorKind(), ErrorKind::Other);
}

}  // namespace
