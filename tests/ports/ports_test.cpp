// brae-ports' description of ports, on fake sysfs trees with real pseudo-terminals as the devices.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

#include "port_info.h"
#include "serial/CommOs.h"
#include "serial/posix/devices.h"
#include "tests/ports/fake_machine.h"
#include "tests/support/process.h"
#include "tests/support/pty.h"
#include "tests/support/ser2net.h"

namespace {

using testing_support::FakeMachine;
using testing_support::Pty;
using testing_support::UsbAdapter;

const UsbAdapter kFtdi{"ttyUSB0", "ftdi_sio",        "1-2",      "0403", "6001",
                       "FTDI",    "FT232R USB UART", "A10K1234", 16};

ports::Roots RootsOf(const FakeMachine& m) {
  return ports::Roots{m.sys, m.dev, m.proc};
}

TEST(PortsDescribe, NamesEachKindOfDevice) {
  FakeMachine m;
  Pty usb0, acm0, s0;
  ASSERT_TRUE(usb0.ok() && acm0.ok() && s0.ok());
  m.AddUsb(kFtdi);
  m.AddUsb({"ttyUSB1", "cp210x", "1-4", "10c4", "ea60", std::nullopt, std::nullopt, std::nullopt, 1});
  m.AddUsb({"ttyACM0", "cdc_acm", "1-3", "2341", "0043", "Maker \"Q\"", "Uno", "7573", std::nullopt});
  m.AddBuiltin("ttyS0", "00:04");
  m.AddDevice("ttyUSB0", usb0.path(), "usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0");
  m.AddDevice("ttyUSB1", m.dir / "unplugged");
  m.AddDevice("ttyACM0", acm0.path(), "usb-Maker_Uno_7573-if00");
  m.AddDevice("ttyS0", s0.path());

  struct Case {
    std::string tty;
    std::string byId;
    std::optional<std::string> usb;  // vendor:product manufacturer|product|serial
    std::string driver;
    ports::Status status;
    std::optional<int> latency;
    bool hint;
  };
  const Case cases[] = {
      {"ttyUSB0", m.dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0",
       "0403:6001 FTDI|FT232R USB UART|A10K1234", "ftdi_sio", ports::Status::Opens, 16, true},
      // Strings the adapter does not report stay empty; a timer of 1 ms needs no advice; a device link that
      // leads nowhere is an adapter that was pulled.
      {"ttyUSB1", "", "10c4:ea60 ||", "cp210x", ports::Status::Gone, 1, false},
      // The modem-class tty hangs off the interface; the USB device is one folder further up.
      {"ttyACM0", m.dev + "/serial/by-id/usb-Maker_Uno_7573-if00", "2341:0043 Maker \"Q\"|Uno|7573",
       "cdc_acm", ports::Status::Opens, std::nullopt, false},
      {"ttyS0", "", std::nullopt, "serial", ports::Status::Opens, std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tty);
    const ports::PortInfo p = ports::Describe("Com1", m.dev + "/" + c.tty, RootsOf(m));
    EXPECT_EQ(p.byId, c.byId);
    ASSERT_EQ(p.usb.has_value(), c.usb.has_value());
    if (p.usb) {
      EXPECT_EQ(p.usb->vendorId + ":" + p.usb->productId + " " + p.usb->manufacturer + "|" + p.usb->product +
                    "|" + p.usb->serial,
                *c.usb);
    }
    EXPECT_EQ(p.driver, c.driver);
    EXPECT_EQ(ports::StatusName(p.status), std::string(ports::StatusName(c.status))) << p.reason;
    EXPECT_EQ(p.latencyMs, c.latency);
    EXPECT_EQ(!p.hint.empty(), c.hint);
    if (c.hint) {
      EXPECT_NE(p.hint.find("ATTR{latency_timer}=\"1\""), std::string::npos) << p.hint;
    }
    // The group is the device's; a missing device has none.
    EXPECT_EQ(p.group.empty(), c.status == ports::Status::Gone);
  }
}

TEST(PortsDescribe, NoSysfsEntryStillReportsTheDevice) {
  // A port-directory link to a pty (the simulator's case): nothing in sysfs, but it opens.
  FakeMachine m;
  Pty pty;
  ASSERT_TRUE(pty.ok());
  FakeMachine::Link(m.dir / "com1", pty.path());
  const ports::PortInfo p = ports::Describe("Com1", m.dir / "com1", RootsOf(m));
  EXPECT_FALSE(p.usb);
  EXPECT_EQ(p.driver, "");
  EXPECT_EQ(p.byId, "");
  EXPECT_EQ(p.status, ports::Status::Opens);
  EXPECT_FALSE(p.group.empty());
}

TEST(PortsDescribe, ARegularFileIsNoSerialDevice) {
  FakeMachine m;
  testing_support::WriteFile(m.dir / "plain", "x");
  const ports::PortInfo p = ports::Describe("Com1", m.dir / "plain", RootsOf(m));
  EXPECT_EQ(p.status, ports::Status::Error);
  EXPECT_NE(p.reason.find("not a serial device"), std::string::npos) << p.reason;
  // A file this process made belongs to its own group.
  EXPECT_TRUE(p.inGroup) << p.group;
}

TEST(PortsDescribe, BusyNamesTheProcessHoldingIt) {
  FakeMachine m;
  Pty pty;
  ASSERT_TRUE(pty.ok());
  m.AddDevice("ttyUSB0", pty.path());
  // Another open of the device holding the lock, as a second updater or a terminal program would.
  const int holder = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  // The real /proc: this test process is the holder.
  const ports::PortInfo p = ports::Describe("Com1", m.dev + "/ttyUSB0", ports::Roots{m.sys, m.dev, "/proc"});
  ::close(holder);
  EXPECT_EQ(p.status, ports::Status::Busy) << p.reason;
  bool self = false;
  for (const auto& h : p.holders) self = self || h.pid == getpid();
  EXPECT_TRUE(self);
  const std::string text = ports::FormatText({p}, "");
  EXPECT_NE(text.find("opens:   no, busy: held by "), std::string::npos) << text;
  EXPECT_NE(text.find("(pid " + std::to_string(getpid()) + ")"), std::string::npos) << text;
}

TEST(PortsDescribe, NoPermissionForADeviceOfAnotherGroup) {
  // A device only its owner and group may open (as dialout's ports are), seen by a user in neither.
  FakeMachine m;
  Pty pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_EQ(::chmod(m.dir.path.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(pty.path().c_str(), 0660), 0);
  m.AddDevice("ttyUSB0", pty.path());
  const auto seen = testing_support::AsUnprivileged([&] {
    const ports::PortInfo p = ports::Describe("Com1", m.dev + "/ttyUSB0", RootsOf(m));
    return std::string(ports::StatusName(p.status)) + "|" + (p.inGroup ? "in" : "out") + "|" + p.reason;
  });
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->substr(0, seen->find('|', seen->find('|') + 1)), "no-permission|out") << *seen;
  EXPECT_NE(seen->find("dialout"), std::string::npos) << *seen;
}

TEST(PortsHolders, ReadsAProcTree) {
  FakeMachine m;
  const std::string device = m.dir / "ttyUSB0";
  testing_support::WriteFile(device, "");
  const std::string real = std::filesystem::canonical(device).string();
  auto process = [&](const std::string& pid, const std::string& comm, const std::string& fdTarget) {
    FakeMachine::Mkdirs(m.proc + "/" + pid + "/fd");
    testing_support::WriteFile(m.proc + "/" + pid + "/comm", comm + "\n");
    FakeMachine::Link(m.proc + "/" + pid + "/fd/3", fdTarget);
  };
  process("4242", "minicom", real);
  process("17", "screen", real);
  process("99", "bash", "/dev/pts/0");
  process("self", "nope", real);          // not a process number
  FakeMachine::Mkdirs(m.proc + "/5/fd");  // a process whose descriptors we may not read
  const auto holders = ports::Holders(m.proc, device);
  ASSERT_EQ(holders.size(), 2u);
  EXPECT_EQ(holders[0].pid, 17);
  EXPECT_EQ(holders[0].command, "screen");
  EXPECT_EQ(holders[1].pid, 4242);
  EXPECT_EQ(holders[1].command, "minicom");
  EXPECT_TRUE(ports::Holders(m.proc, m.dir / "missing").empty());
}

// A by-id name holds the updater to one adapter only when it carries that adapter's serial number.
TEST(PortsById, NamesOneAdapterOnlyWithASerialNumber) {
  FakeMachine m;
  Pty usb0, usb1, acm0, s0, pty;
  m.AddUsb(kFtdi);
  m.AddUsb(
      {"ttyUSB1", "ch341", "1-4", "1a86", "7523", std::nullopt, "USB Serial", std::nullopt, std::nullopt});
  m.AddUsb({"ttyACM0", "cdc_acm", "1-3", "2341", "0043", "Maker", "Uno", "7573", std::nullopt});
  m.AddBuiltin("ttyS0", "00:04");
  m.AddDevice("ttyUSB0", usb0.path(), "usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0");
  m.AddDevice("ttyUSB1", usb1.path(), "usb-1a86_USB_Serial-if00-port0");
  m.AddDevice("ttyACM0", acm0.path(), "usb-Maker_Uno_7573-if00");
  m.AddDevice("ttyS0", s0.path());
  m.AddDevice("ttyUSB7", pty.path(), "usb-Unknown-if00-port0");  // sysfs knows nothing of it
  const struct {
    const char* tty;
    bool one;
  } cases[] = {{"ttyUSB0", true}, {"ttyUSB1", false}, {"ttyACM0", true}, {"ttyS0", true}, {"ttyUSB7", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tty);
    EXPECT_EQ(c.one, commos::ByIdNamesOneAdapter(m.dev + "/" + c.tty, m.dev, m.sys));
  }
}

TEST(PortsSerialDevices, CountsUsbThenModemThenBuiltInByNumber) {
  FakeMachine m;
  for (const char* name : {"ttyS10", "ttyS2", "ttyUSB1", "ttyUSB10", "ttyUSB0", "ttyACM0", "ttyUSBx", "ttyS",
                           "tty1", "ttyAMA0", "console"}) {
    testing_support::WriteFile(m.dev + "/" + name, "");
  }
  std::vector<std::string> want;
  for (const char* name : {"ttyUSB0", "ttyUSB1", "ttyUSB10", "ttyACM0", "ttyS2", "ttyS10"})
    want.push_back(m.dev + "/" + name);
  EXPECT_EQ(ports::SerialDevices(m.dev), want);
}

TEST(PortsSerialDevices, AgreesWithTheUpdatersPortNames) {
  // brae-ports must name the device the updater opens for the same ComN.
  const char* saved = std::getenv("BRAE_PORT_DIR");
  const std::string keep = saved ? saved : "";
  unsetenv("BRAE_PORT_DIR");
  const auto devices = ports::SerialDevices("/dev");
  for (size_t n = 1; n <= 25; ++n) {
    EXPECT_EQ(commos::ResolvePortName("Com" + std::to_string(n)), n <= devices.size() ? devices[n - 1] : "");
  }
  if (saved) setenv("BRAE_PORT_DIR", keep.c_str(), 1);
}

TEST(PortsJson, EscapesWhateverSysfsHolds) {
  struct Case {
    std::string manufacturer;
    std::string json;
  } const cases[] = {
      {"", "\"manufacturer\": null"},
      {"Say \"hi\" \\ bye", "\"manufacturer\": \"Say \\\"hi\\\" \\\\ bye\""},
      {std::string("a\tb\x01", 4), "\"manufacturer\": \"a\\u0009b\\u0001\""},
      {"M\xc3\xbcller \xe2\x82\xac",
       "\"manufacturer\": \"M\xc3\xbcller \xe2\x82\xac\""},  // valid UTF-8 passes
      {"bad\xff", "\"manufacturer\": \"bad\\ufffd\""},
      {"cut\xe2\x82", "\"manufacturer\": \"cut\\ufffd\\ufffd\""},    // a sequence that ends too early
      {"long\xc0\xaf", "\"manufacturer\": \"long\\ufffd\\ufffd\""},  // an overlong '/'
      {"sur\xed\xa0\x80", "\"manufacturer\": \"sur\\ufffd\\ufffd\\ufffd\""},  // a UTF-16 surrogate
  };
  for (const Case& c : cases) {
    ports::PortInfo p;
    p.name = "Com1";
    p.device = "/dev/ttyUSB0";
    p.usb = ports::UsbInfo{"0403", "6001", c.manufacturer, "", ""};
    const std::string json = ports::FormatJson({p}, "");
    EXPECT_NE(json.find(c.json), std::string::npos) << json;
  }
}

TEST(PortsJson, NullsWhatDoesNotApply) {
  ports::PortInfo opens;
  opens.name = "Com1";
  opens.device = "/dev/ttyS0";
  opens.status = ports::Status::Opens;
  opens.reason = "stale";  // a reason only goes with a port that does not open
  ports::PortInfo busy = opens;
  busy.name = "Com2";
  busy.group = "dialout";
  busy.inGroup = true;
  busy.status = ports::Status::Busy;
  busy.reason = "held";
  busy.holders = {{7, "minicom"}, {9, "screen"}};
  busy.latencyMs = 16;
  const std::string json = ports::FormatJson({opens, busy}, "/tmp/p");
  const std::string want =
      "{\"port_dir\": \"/tmp/p\", \"ports\": [\n"
      "  {\"name\": \"Com1\", \"device\": \"/dev/ttyS0\", \"by_id\": null, \"usb\": null, \"driver\": null, "
      "\"group\": null, \"in_group\": null, \"opens\": true, \"status\": \"opens\", \"reason\": null, "
      "\"holders\": [], \"latency_timer_ms\": null, \"hint\": null},\n"
      "  {\"name\": \"Com2\", \"device\": \"/dev/ttyS0\", \"by_id\": null, \"usb\": null, \"driver\": null, "
      "\"group\": \"dialout\", \"in_group\": true, \"opens\": false, \"status\": \"busy\", \"reason\": "
      "\"held\", "
      "\"holders\": [{\"pid\": 7, \"command\": \"minicom\"}, {\"pid\": 9, \"command\": \"screen\"}], "
      "\"latency_timer_ms\": 16, \"hint\": null}\n"
      "]}\n";
  EXPECT_EQ(json, want);
  EXPECT_EQ(ports::FormatJson({}, ""), "{\"port_dir\": null, \"ports\": []}\n");
}

// The program itself, on a port directory: present links are listed, absent ones not, dangling ones as gone.
TEST(PortsProgram, ListsAPortDirectory) {
  testing_support::TempDir dir;
  Pty pty;
  ASSERT_TRUE(pty.ok());
  FakeMachine::Link(dir / "com1", pty.path());
  FakeMachine::Link(dir / "com3", dir / "vanished");
  for (const bool json : {false, true}) {
    std::vector<std::string> argv{BRAE_PORTS_BIN};
    if (json) argv.push_back("--json");
    testing_support::Process p(argv, {{"BRAE_PORT_DIR", dir.path}}, "", dir / "out", dir / "err");
    ASSERT_EQ(p.Wait(std::chrono::seconds(20)), 0) << p.Err();
    const std::string out = p.Out();
    EXPECT_EQ(out.find("Com2"), std::string::npos) << out;
    if (json) {
      EXPECT_NE(out.find("{\"name\": \"Com1\", \"device\": \"" + dir.path + "/com1\""), std::string::npos)
          << out;
      EXPECT_NE(out.find("\"status\": \"opens\""), std::string::npos) << out;
      EXPECT_NE(out.find("\"status\": \"gone\""), std::string::npos) << out;
    } else {
      EXPECT_NE(out.find("Com1  " + dir.path + "/com1\n"), std::string::npos) << out;
      EXPECT_NE(out.find("opens:   no, gone"), std::string::npos) << out;
      EXPECT_NE(out.find("1 port(s) can be opened now."), std::string::npos) << out;
    }
  }
  testing_support::Process bad({BRAE_PORTS_BIN, "--bogus"}, {}, "", dir / "out", dir / "err");
  EXPECT_EQ(bad.Wait(std::chrono::seconds(20)), 2);
}

// --probe on a device server: what it accepts when one answers, why not when none does.
TEST(PortsProgram, ProbesADeviceServer) {
  if (!testing_support::Ser2net::Installed()) GTEST_SKIP() << "ser2net is not installed";
  testing_support::TempDir dir;
  Pty pty;
  ASSERT_TRUE(pty.ok());
  testing_support::Ser2net server(pty.path());
  ASSERT_TRUE(server.Start()) << server.Log();
  const std::string refused = "rfc2217://127.0.0.1:" + std::to_string(testing_support::Ser2net::FreePort());
  const struct {
    std::string name;
    int exit;
    std::vector<std::string> says;
  } cases[] = {
      {server.url(),
       0,
       {server.url() + ": connected\n", "binary:     both ways\n", "com-port:   accepted\n",
        "rate:       9600 baud", "unanswered: DTR, RTS\n", "server:     ser2net"}},
      {refused, 1, {"connection refused by 127.0.0.1:"}},
      {"Com1", 1, {"Com1: not a remote port name (rfc2217://HOST:PORT)\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::Process p({BRAE_PORTS_BIN, "--probe", c.name}, {}, "", dir / "out", dir / "err");
    EXPECT_EQ(p.Wait(std::chrono::seconds(20)), c.exit) << p.Err();
    const std::string out = p.Out();
    for (const std::string& s : c.says) EXPECT_NE(out.find(s), std::string::npos) << s << " in\n" << out;
  }
}

}  // namespace
