// The sysfs reader shared by the port open and brae-ports: attribute files and the walk up from a tty.
#include "serial/posix/sysfs.h"

#include <gtest/gtest.h>

#include "tests/ports/fake_machine.h"

namespace {

namespace sysfs = commos::sysfs;
using testing_support::FakeMachine;

TEST(Sysfs, ReadsTheFirstLineOfAnAttribute) {
  FakeMachine m;
  const std::string file = m.dir / "attr";
  struct Case {
    std::string content, line;
  } const cases[] = {
      {"0403\n", "0403"},
      {"FT232R USB UART\n", "FT232R USB UART"},
      {"two\nlines\n", "two"},
      {"trailing  \r\n", "trailing"},
      {"  leading", "  leading"},
      {"no newline", "no newline"},
      {"\n", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    testing_support::WriteFile(file, c.content);
    EXPECT_EQ(sysfs::Attribute(file), c.line) << "[" << c.content << "]";
  }
  EXPECT_EQ(sysfs::Attribute(m.dir / "missing"), "");
  EXPECT_EQ(sysfs::Attribute(m.dir.path), "");  // a folder reads as nothing
  EXPECT_EQ(sysfs::ReadSmall(m.dir / "missing"), std::nullopt);
}

TEST(Sysfs, WalksUpFromADeviceToTheRootOnly) {
  struct Case {
    std::string root, device;
    std::vector<std::string> folders;
  } const cases[] = {
      {"/sys", "/sys/devices/usb1/1-2", {"/sys/devices/usb1/1-2", "/sys/devices/usb1", "/sys/devices"}},
      {"/sys", "/sys/devices", {"/sys/devices"}},
      {"/sys", "/sys", {}},
      {"/sys", "/sysfoo/devices/usb1", {}},  // a sibling that shares the root's name is outside it
      {"/sys", "/tmp/devices", {}},
      {"/sys", "", {}},
      {"", "/sys/devices", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(sysfs::FoldersUp(c.root, c.device), c.folders) << c.device;
}

TEST(Sysfs, FindsTheDeviceBehindATty) {
  FakeMachine m;
  m.AddUsb({"ttyUSB0", "ftdi_sio", "1-2", "0403", "6001", "A", "B", "C", 16});
  m.AddBuiltin("ttyS0", "00:04");
  const std::string devices = sysfs::RealPath(m.sys) + "/devices";
  struct Case {
    std::string tty, device;
  } const cases[] = {
      {"ttyUSB0", devices + "/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0"},
      {"ttyS0", devices + "/pnp0/00:04"},
      {"ttyUSB1", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(sysfs::TtyDevice(m.sys, c.tty), c.device) << c.tty;
}

TEST(Sysfs, NamesADeviceByItsTargetOnlyWhenThatIsInTheDevRoot) {
  FakeMachine m;
  testing_support::WriteFile(m.dev + "/ttyUSB4", "");
  FakeMachine::Link(m.dev + "/serial/by-id/usb-X-if00", "../../ttyUSB4");
  FakeMachine::Link(m.dir / "com1", m.dev + "/ttyUSB4");
  FakeMachine::Link(m.dir / "com2", m.dir / "elsewhere");
  struct Case {
    std::string path, devRoot, tty;
  } const cases[] = {
      {m.dev + "/serial/by-id/usb-X-if00", m.dev, "ttyUSB4"},
      {m.dir / "com1", m.dev, "ttyUSB4"},
      {m.dir / "com1", "/dev", "com1"},  // the target is not a device of this root
      {m.dir / "com2", m.dev, "com2"},   // leads nowhere
      {m.dev + "/serial/by-id/usb-X-if00", m.dir / "nothing", "usb-X-if00"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(sysfs::TtyName(c.path, c.devRoot), c.tty) << c.path << " " << c.devRoot;
}

}  // namespace
