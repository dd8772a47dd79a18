// Port names a user types after /p: each kind, and every way one can be mistyped.
#include "serial/PortName.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using commos::PortKind;

TEST(PortName, EachKindIsRecognised) {
  struct Case {
    const char* name;
    PortKind kind;
    long com;
    const char* host;
    int tcpPort;
  } const cases[] = {
      {"Com1", PortKind::Com, 1, "", 0},
      {"COM37", PortKind::Com, 37, "", 0},
      {"com255", PortKind::Com, 255, "", 0},
      {"\\\\.\\COM37", PortKind::Com, 37, "", 0},
      {"/dev/ttyUSB0", PortKind::Device, 0, "", 0},
      {"/dev/serial/by-id/usb-Maker_Cable_A1-if00-port0", PortKind::Device, 0, "", 0},
      {"\\\\.\\CNCA0", PortKind::Device, 0, "", 0},
      {"rfc2217://scale-7.plant:2001", PortKind::Remote, 0, "scale-7.plant", 2001},
      {"RFC2217://127.0.0.1:65535/", PortKind::Remote, 0, "127.0.0.1", 65535},
      {"rfc2217://[::1]:7000", PortKind::Remote, 0, "::1", 7000},
  };
  for (const Case& c : cases) {
    const commos::PortName p = commos::ParsePortName(c.name);
    EXPECT_EQ(p.kind, c.kind) << c.name << ": " << p.why;
    EXPECT_EQ(p.com, c.com) << c.name;
    EXPECT_EQ(p.host, c.host) << c.name;
    EXPECT_EQ(p.tcpPort, c.tcpPort) << c.name;
    if (c.kind == PortKind::Device) {
      EXPECT_EQ(p.path, c.name);
    }
  }
}

TEST(PortName, AMistypedNameSaysWhatIsWrong) {
  struct Case {
    std::string name;
    const char* says;
  } const cases[] = {
      {"", "empty"},
      {"Com0", "from 1 to 255"},
      {"COM256", "from 1 to 255"},
      {"COM9999999999", "from 1 to 255"},
      {"ttyUSB0", "not a port name"},
      {"Comfort", "not a port name"},
      {"rfc2217://host", "no TCP port"},
      {"rfc2217://:2001", "no host"},
      {"rfc2217://host:0", "from 1 to 65535"},
      {"rfc2217://host:65536", "from 1 to 65535"},
      {"rfc2217://host:20x1", "from 1 to 65535"},
      {"rfc2217://user@host:2001", "not a host name"},
      {"rfc2217://[::1]2001", "no TCP port"},
      {"rfc2217://[::1:2001", "no closing ]"},
      {"tcp://host:2001", "only kind of URL"},
      {std::string("/dev/tty\nUSB0"), "control character"},
      {"\\\\.\\", "names no device"},
  };
  for (const Case& c : cases) {
    const commos::PortName p = commos::ParsePortName(c.name);
    EXPECT_EQ(p.kind, PortKind::Invalid) << c.name;
    EXPECT_NE(p.why.find(c.says), std::string::npos) << c.name << " -> " << p.why;
  }
}

}  // namespace
