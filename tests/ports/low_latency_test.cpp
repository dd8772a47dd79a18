// Low-latency mode on USB adapters: the decision, what a pty allows (nothing, and no harm), and the latency
// timer on fake sysfs trees.
#include "serial/posix/low_latency.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "serial/CommOs.h"
#include "tests/ports/fake_machine.h"
#include "tests/support/process.h"
#include "tests/support/pty.h"

namespace {

namespace lowlat = commos::lowlat;
using testing_support::FakeMachine;
using testing_support::Pty;
using testing_support::UsbAdapter;

UsbAdapter Ftdi(const std::string& tty, const std::string& port, std::optional<int> ms) {
  return {tty, "ftdi_sio", port, "0403", "6001", "FTDI", "FT232R USB UART", "A1", ms};
}

TEST(LowLatency, SetsTheFlagOnlyOnAUsbAdapterThatHasItOff) {
  struct Case {
    bool usb, gotSerial;
    int flags;
    bool set;
  } const cases[] = {
      {true, true, 0, true},
      {true, true, ASYNC_LOW_LATENCY, false},  // already on: leave it, and so leave it on at close too
      {true, true, ASYNC_SPD_HI, true},        // other flags do not matter
      {true, false, 0, false},                 // the driver has no serial settings (a pty: ENOTTY)
      {false, true, 0, false},                 // a built-in port keeps what it has
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lowlat::ShouldSet(c.usb, c.gotSerial, c.flags), c.set) << c.usb << c.gotSerial << c.flags;
  }
}

TEST(LowLatency, APtyCalledAUsbAdapterIsLeftAsItIs) {
  // Even where sysfs says USB, the pty refuses the serial settings: nothing to set, nothing to put back, and
  // the terminal is as it was.
  FakeMachine m;
  m.AddUsb(Ftdi("ttyUSB0", "1-2", std::nullopt));
  Pty pty;
  ASSERT_TRUE(pty.ok());
  m.AddDevice("ttyUSB0", pty.path());
  ASSERT_TRUE(lowlat::IsUsb(m.sys, lowlat::TtyName(m.dev + "/ttyUSB0")));
  const termios before = pty.Settings();
  const lowlat::State state = lowlat::OnOpen(pty.slave(), m.dev + "/ttyUSB0", m.sys);
  EXPECT_FALSE(state.restore);
  EXPECT_EQ(commos::TakeOpenNotice(), "");
  // A close told to restore on a device without serial settings does nothing either (and must not fail).
  lowlat::State told;
  told.restore = true;
  lowlat::OnClose(pty.slave(), told);
  const termios after = pty.Settings();
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
  // And it still carries bytes.
  ASSERT_EQ(::fcntl(pty.slave(), F_SETFL, ::fcntl(pty.slave(), F_GETFL) | O_NONBLOCK), 0);
  EXPECT_TRUE(pty.Send("x\n"));
  char c = 0;
  EXPECT_TRUE(
      testing_support::WaitUntil([&] { return ::read(pty.slave(), &c, 1) == 1; }, std::chrono::seconds(2)));
  EXPECT_EQ(c, 'x');
}

TEST(LowLatency, ThePortComponentOpensAndClosesAPtyAsBefore) {
  // The open path through the OS layer: a pty opens, is no USB adapter, and closes cleanly.
  Pty pty;
  ASSERT_TRUE(pty.ok());
  const commos::Handle h = commos::CreateFile(pty.path());
  ASSERT_TRUE(h);
  EXPECT_EQ(commos::TakeOpenNotice(), "");
  EXPECT_TRUE(commos::CloseHandle(h));
}

TEST(LowLatency, RecognisesUsbInSysfs) {
  FakeMachine m;
  m.AddUsb(Ftdi("ttyUSB0", "1-2", 16));
  m.AddUsb({"ttyACM0", "cdc_acm", "1-3", "2341", "0043", "A", "B", "C", std::nullopt});
  m.AddBuiltin("ttyS0", "00:04");
  // A folder named like a root hub above the sysfs root must not count.
  FakeMachine inUsbFolder;
  const std::string odd = inUsbFolder.dir / "usb1";
  FakeMachine::Mkdirs(odd + "/devices/pnp0/00:04/tty/ttyS0");
  FakeMachine::Mkdirs(odd + "/class/tty");
  FakeMachine::Link(odd + "/devices/pnp0/00:04/tty/ttyS0/device", odd + "/devices/pnp0/00:04");
  FakeMachine::Link(odd + "/class/tty/ttyS0", odd + "/devices/pnp0/00:04/tty/ttyS0");
  struct Case {
    std::string sys, tty;
    bool usb;
  } const cases[] = {
      {m.sys, "ttyUSB0", true},  {m.sys, "ttyACM0", true}, {m.sys, "ttyS0", false},
      {m.sys, "ttyUSB7", false}, {m.sys, "", false},       {odd, "ttyS0", false},
  };
  for (const Case& c : cases) EXPECT_EQ(lowlat::IsUsb(c.sys, c.tty), c.usb) << c.sys << " " << c.tty;
}

TEST(LowLatency, ReadsTheLatencyTimer) {
  FakeMachine m;
  m.AddUsb(Ftdi("ttyUSB0", "1-2", 16));
  const std::string timer = m.sys + "/class/tty/ttyUSB0/device/latency_timer";
  struct Case {
    std::string content;
    std::optional<int> ms;
  } const cases[] = {
      {"16\n", 16},
      {"1\n", 1},
      {"0", 0},
      {"255\n", 255},
      {"256\n", std::nullopt},
      {"", std::nullopt},
      {"-1\n", std::nullopt},
      {"16 ms\n", std::nullopt},
      {"x\n", std::nullopt},
  };
  for (const Case& c : cases) {
    testing_support::WriteFile(timer, c.content);
    EXPECT_EQ(lowlat::LatencyTimerMs(m.sys, "ttyUSB0"), c.ms) << "[" << c.content << "]";
  }
  EXPECT_EQ(lowlat::LatencyTimerMs(m.sys, "ttyUSB9"), std::nullopt);
}

TEST(LowLatency, LowersAWritableTimerAndSaysNothing) {
  FakeMachine m;
  m.AddUsb(Ftdi("ttyUSB3", "1-2", 16));
  const std::string timer = m.sys + "/class/tty/ttyUSB3/device/latency_timer";
  if (::access(timer.c_str(), W_OK) != 0) GTEST_SKIP() << "cannot write the test tree";
  EXPECT_EQ(lowlat::LatencyNotice(m.sys, "ttyUSB3"), "");
  EXPECT_EQ(lowlat::LatencyTimerMs(m.sys, "ttyUSB3"), 1);
}

// The timer lowered at open is the adapter's for every program: close gives back what open found, unless
// someone has set a value of their own since.
TEST(LowLatency, GivesTheTimerBackAtClose) {
  struct Case {
    const char* what;
    std::optional<int> before;
    std::function<void(const std::string& timer)> meanwhile;
    std::string atOpen, atClose;  // the file's content; "-" when there is none
  } const cases[] = {
      {"lowered, then given back", 16, nullptr, "1", "16"},
      {"another value lowered", 255, nullptr, "1", "255"},
      {"already 1 ms", 1, nullptr, "1\n", "1\n"},
      {"already 0 ms", 0, nullptr, "0\n", "0\n"},
      {"set by another program meanwhile", 16,
       [](const std::string& t) { testing_support::WriteFile(t, "4\n"); }, "1", "4\n"},
      {"the adapter went away meanwhile", 16, [](const std::string& t) { ::unlink(t.c_str()); }, "1", "-"},
      {"no timer", std::nullopt, nullptr, "-", "-"},
  };
  for (const Case& c : cases) {
    FakeMachine m;
    m.AddUsb(Ftdi("ttyUSB2", "1-2", c.before));
    Pty pty;
    ASSERT_TRUE(pty.ok());
    m.AddDevice("ttyUSB2", pty.path());
    const std::string timer = m.sys + "/class/tty/ttyUSB2/device/latency_timer";
    const auto content = [&] {
      return ::access(timer.c_str(), F_OK) == 0 ? testing_support::ReadFile(timer) : std::string("-");
    };
    const lowlat::State state = lowlat::OnOpen(pty.slave(), m.dev + "/ttyUSB2", m.sys);
    EXPECT_EQ(commos::TakeOpenNotice(), "") << c.what;
    EXPECT_EQ(content(), c.atOpen) << c.what;
    if (c.meanwhile) c.meanwhile(timer);
    lowlat::OnClose(pty.slave(), state);
    EXPECT_EQ(content(), c.atClose) << c.what;
  }
}

// A timer this user cannot lower: one line of advice, once per adapter. Root can write any file, so the
// check runs in a child that has given root up.
TEST(LowLatency, AdvisesOnceWhenTheTimerCannotBeLowered) {
  FakeMachine m;
  m.AddUsb(Ftdi("ttyUSB5", "1-2", 16));
  m.AddUsb(Ftdi("ttyUSB6", "1-4", 1));
  ASSERT_EQ(::chmod(m.dir.path.c_str(), 0755), 0);
  ASSERT_EQ(::chmod((m.sys + "/class/tty/ttyUSB5/device/latency_timer").c_str(), 0444), 0);
  const auto report = testing_support::AsUnprivileged([&] {
    std::optional<int> lowered;
    std::string out = lowlat::LatencyNotice(m.sys, "ttyUSB5", &lowered) + "\n";
    if (lowered) out = "claims to have lowered it\n";
    out += lowlat::LatencyNotice(m.sys, "ttyUSB5") + "\n";
    return out + lowlat::LatencyNotice(m.sys, "ttyUSB6") + "\n";
  });
  ASSERT_TRUE(report);
  const std::string first = report->substr(0, report->find('\n'));
  EXPECT_NE(first.find("ttyUSB5"), std::string::npos) << first;
  EXPECT_NE(first.find("16 ms"), std::string::npos) << first;
  EXPECT_NE(first.find("/etc/udev/rules.d/"), std::string::npos) << first;
  EXPECT_NE(first.find("ATTR{latency_timer}=\"1\""), std::string::npos) << first;
  // The second look at the same adapter is quiet, and a 1 ms timer needs nothing.
  EXPECT_EQ(report->substr(first.size()), "\n\n\n");
  EXPECT_EQ(lowlat::LatencyTimerMs(m.sys, "ttyUSB5"), 16);
}

TEST(LowLatency, NamesDevicesAsSysfsDoes) {
  FakeMachine m;
  Pty pty;
  ASSERT_TRUE(pty.ok());
  m.AddDevice("ttyUSB0", pty.path(), "usb-FTDI-if00-port0");
  struct Case {
    std::string path, tty;
  } const cases[] = {
      {"/dev/null", "null"},            // a device of /dev goes by its own name
      {m.dev + "/ttyUSB0", "ttyUSB0"},  // a link elsewhere keeps the name it is called by
      {m.dev + "/serial/by-id/usb-FTDI-if00-port0", "usb-FTDI-if00-port0"},
      {pty.path(), pty.path().substr(pty.path().find_last_of('/') + 1)},
  };
  for (const Case& c : cases) EXPECT_EQ(lowlat::TtyName(c.path), c.tty) << c.path;
}

}  // namespace
