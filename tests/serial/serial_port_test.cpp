// The serial component on Linux before bytes move: its defaults and tables, opening by name and by pinned
// device, the settings the far side sees, and the reasons the OS layer gives when a call fails.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "serial/posix/custom_baud.h"
#include "serial/posix/os_error.h"
#include "serial/posix/termios_map.h"
#include "tests/serial/port_fixture.h"
#include "tests/support/files.h"

using namespace serial;
using testing_support::Pty;
using testing_support::TempDir;

namespace serial_test {
namespace {

TEST(SerialDefaults, NewComponent) {
  TSerialPort port;
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ("Com2", port.DeviceName());
  EXPECT_EQ(br9600, port.BaudRate());
  EXPECT_EQ(paNone, port.Parity());
  EXPECT_EQ(sb10, port.Stopbits());
  EXPECT_EQ(da8, port.Databits());
  EXPECT_EQ(fcDefault, port.FlowControl());
  EXPECT_TRUE(port.Options().Empty());
  EXPECT_EQ(0x01FFu, EventMaskOf(port.MonitorEvents()));
  EXPECT_EQ(4096, port.ReadBufSize());
  EXPECT_EQ(2048, port.WriteBufSize());
  EXPECT_EQ(1000, port.ReadTimeout());
  EXPECT_EQ(1000, port.WriteTimeout());
  EXPECT_EQ(17, port.EventChars().XonChar());
  EXPECT_EQ(19, port.EventChars().XoffChar());
  EXPECT_EQ(0, port.EventChars().ErrorChar() | port.EventChars().EofChar() | port.EventChars().EvtChar());
}

TEST(SerialTables, FlagWordsPerFlowControlAndOption) {
  EXPECT_EQ(0x0001u, FlagWord(fcNone, {}));
  EXPECT_EQ(0x0001u, FlagWord(fcDefault, {}));
  EXPECT_EQ(0x2005u, FlagWord(fcCTS, {}));
  EXPECT_EQ(0x0029u, FlagWord(fcDTR, {}));
  EXPECT_EQ(0x0301u, FlagWord(fcSoftware, {}));
  EXPECT_EQ(0x0303u, FlagWord(fcSoftware, {coParityCheck}));
  EXPECT_EQ(0x0CC1u, FlagWord(fcNone, {coDsrSensitivity, coIgnoreXOff, coErrorChar, coNullStrip}));
  EXPECT_EQ(0x0001u, EventMaskOf({evRxChar}));
  EXPECT_EQ(0x0180u, EventMaskOf({evError, evRing}));
  EXPECT_EQ(256000u, BaudRateValue(br256000));
  EXPECT_EQ(14400u, BaudRateValue(br14400));
  EXPECT_EQ(4, DatabitsValue(da4));
}

TEST(SerialTables, CommErrorTexts) {
  const char* expected[] = {"Port already assigned (open)",
                            "Port is not installed",
                            "Invalid device handle, access denied",
                            "Error initializing Read/Write Buffers",
                            "Write error",
                            "Read error",
                            "EscapeCommFunction failure",
                            "Port not open, unable to complete operation",
                            "Error updating CommTimeouts",
                            "Error updating DataControlBlock"};
  for (int code = -1; code >= -10; --code) EXPECT_EQ(expected[-code - 1], CommErrorText(code)) << code;
  EXPECT_EQ("", CommErrorText(0));
  EXPECT_EQ(
      "The hardware detected a break condition A character-buffer overrun has occurred. The next character "
      "is lost",
      CommErrorText(0x0012));
  EXPECT_EQ(" The hardware detected a framing error", CommErrorText(0x0008));
  EXPECT_EQ(" An I/O error occurred during communications with the device", CommErrorText(0x0400));
  EXPECT_EQ("", CommErrorText(0x4000));  // a bit without a text adds nothing
  EXPECT_EQ(
      " An input buffer overflow has occurred. There is either no room in the input buffer, or a character "
      "was received after the end-of-file (EOF) character The hardware detected a parity error",
      CommErrorText(0x0005));
  // Alphabetical by error name, not by bit value.
  EXPECT_EQ(CommErrorText(0x0400) + CommErrorText(0x0002), CommErrorText(0x0402));
}

TEST(SerialTables, StripNonPrintable) {
  EXPECT_EQ("abcd", StripNonPrintable(std::string("a\rb\nc\x7f") + "\xff" + "d"));
  EXPECT_EQ(" ~", StripNonPrintable(std::string(" ~\x1f\x80", 4)));
  EXPECT_EQ("", StripNonPrintable(std::string("\0\x01", 2)));
}

using SerialOpen = PortTest;

TEST_F(SerialOpen, OpenCloseReopen) {
  Pty& pty = OpenOnNewPty();
  EXPECT_TRUE(errors.empty());
  port.Close();
  EXPECT_FALSE(port.Connected());
  port.Close();  // twice: nothing
  port.Open();   // at once again: the lock of the first opening is gone
  EXPECT_TRUE(port.Connected());
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(3, port.Write("abc", 3));
  EXPECT_EQ("abc", pty.Receive(3, 2000));
}

TEST_F(SerialOpen, SecondOpenOfTheSamePortIsNotInstalled) {
  Pty& pty = OpenOnNewPty();
  TSerialPort other;
  std::vector<int> otherErrors;
  other.OnError = [&](TCustomComm*, int code) { otherErrors.push_back(code); };
  other.SetDeviceName(pty.path());
  other.Open();
  EXPECT_FALSE(other.Connected());
  EXPECT_EQ(std::vector<int>{kErrNotInstalled}, otherErrors);
  EXPECT_NE(std::string::npos, other.LastOsError().find("another program")) << other.LastOsError();
  EXPECT_EQ(commos::ErrorKind::Busy, other.LastErrorKind());
  EXPECT_FALSE(other.LastOpenFoundNoDevice());
}

TEST_F(SerialOpen, NamesThatAreNoPort) {
  const TempDir dir;
  const std::string file = dir / "plain file";
  std::ofstream(file) << "not a port";
  const int fdsBefore = OpenFdCount();
  using commos::ErrorKind;
  struct Case {
    std::string name;
    int code;
    ErrorKind kind;
  } cases[] = {
      {file, kErrInvalidHandle, ErrorKind::Other},
      {dir.path, kErrNotInstalled, ErrorKind::Other},
      {"/dev/null", kErrNotInstalled, ErrorKind::Other},
      {dir / "missing", kErrNotInstalled, ErrorKind::Missing},
      {"", kErrNotInstalled, ErrorKind::Missing},
  };
  for (const Case& c : cases) {
    errors.clear();
    port.SetDeviceName(c.name);
    port.Open();
    EXPECT_FALSE(port.Connected()) << c.name;
    EXPECT_EQ(std::vector<int>{c.code}, errors) << c.name;
    EXPECT_FALSE(port.LastOsError().empty());
    EXPECT_EQ(c.kind, port.LastErrorKind()) << c.name << ": " << port.LastOsError();
    EXPECT_EQ(c.kind == ErrorKind::Missing, port.LastOpenFoundNoDevice()) << c.name;
  }
  EXPECT_EQ(fdsBefore, OpenFdCount());
}

TEST_F(SerialOpen, PathWithSpacesOpens) {
  Pty pty;
  const TempDir dir;
  ASSERT_TRUE(std::filesystem::create_directory(dir / "brae serial"));
  const std::string link = dir / "brae serial/my port";
  ASSERT_EQ(0, symlink(pty.path().c_str(), link.c_str()));
  port.SetDeviceName(link);
  port.Open();
  EXPECT_TRUE(port.Connected());
}

TEST(SerialReport, WithoutOnErrorRaisesECommError) {
  TSerialPort port;
  port.SetDeviceName("/nonexistent/brae-port");
  try {
    port.Open();
    FAIL() << "no exception";
  } catch (const ECommError& e) {
    EXPECT_EQ(-2, e.ErrorCode);
    EXPECT_STREQ("Port is not installed (Error: -2) ", e.what());
  }
  EXPECT_THROW(port.SetDTR(true), ECommError);
}

using SerialSettings = PortTest;

TEST_F(SerialSettings, FarSideSeesEachLineSetting) {
  Pty pty;
  port.SetFlowControl(fcSoftware);
  OpenOn(pty);
  termios t = pty.Settings();
  EXPECT_EQ(B9600, cfgetospeed(&t));
  EXPECT_TRUE(t.c_iflag & IXON);
  EXPECT_TRUE(t.c_iflag & IXOFF);
  EXPECT_EQ(17, t.c_cc[VSTART]);
  EXPECT_EQ(19, t.c_cc[VSTOP]);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO));
  EXPECT_EQ(0, t.c_cc[VMIN]);
  EXPECT_EQ(0x0301u, port.DCB().Flags);
  EXPECT_EQ(1024, port.DCB().XonLim);
  EXPECT_EQ(1024, port.DCB().XoffLim);

  port.SetBaudRate(br38400);
  EXPECT_EQ(B38400, pty.OutputSpeed());
  port.SetFlowControl(fcNone);
  t = pty.Settings();
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF));
  EXPECT_EQ(0x0001u, port.DCB().Flags);
  port.SetBaudRate(br9600);
  EXPECT_EQ(B9600, pty.OutputSpeed());
  EXPECT_TRUE(errors.empty());
}

TEST_F(SerialSettings, RatesOutsideTheClassicTable) {
  Pty& pty = OpenOnNewPty();
  for (TBaudrate b : {br14400, br56000, br128000, br256000, br110}) {
    errors.clear();
    port.SetBaudRate(b);
    if (errors.empty()) {
      EXPECT_EQ(BaudRateValue(b), commos::detail::GetBaud(pty.slave())) << BaudRateValue(b);
    } else {
      EXPECT_EQ(std::vector<int>{-10}, errors);  // the device refused it: reported, not faked
    }
  }
}

TEST_F(SerialSettings, UnchangedValuesMakeNoCallButEventCharsAlwaysDo) {
  Pty& pty = OpenOnNewPty();
  // Change the terminal behind the component's back; a call to the device would undo it.
  termios t = pty.Settings();
  cfsetospeed(&t, B1200);
  cfsetispeed(&t, B1200);
  ASSERT_EQ(0, tcsetattr(pty.slave(), TCSANOW, &t));
  port.SetBaudRate(br9600);
  port.SetParity(paNone);
  port.SetStopbits(sb10);
  port.SetDatabits(da8);
  port.SetOptions({});
  port.SetFlowControl(fcDefault);
  EXPECT_EQ(B1200, pty.OutputSpeed());
  port.EventChars().SetXoffChar(19);  // same value, still applied
  EXPECT_EQ(B9600, pty.OutputSpeed());
}

TEST_F(SerialSettings, SettersThatNeedAClosedPortReportAndStore) {
  Pty& pty = OpenOnNewPty();
  port.SetDeviceName("Com7");
  port.SetMonitorEvents({evRxChar});
  port.SetReadBufSize(8192);
  port.SetWriteBufSize(4096);
  EXPECT_EQ((std::vector<int>{-1, -1, -1, -1}), errors);
  EXPECT_EQ("Com7", port.DeviceName());
  EXPECT_EQ(8192, port.ReadBufSize());
  // The open port is untouched and still works.
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(2, port.Write("ok", 2));
  EXPECT_EQ("ok", pty.Receive(2, 2000));
  errors.clear();
  port.SetDeviceName("Com7");  // unchanged: no report
  EXPECT_TRUE(errors.empty());
}

TEST_F(SerialSettings, OpenOnAnOpenPortKeepsItIntact) {
  Pty& pty = OpenOnNewPty();
  int received = 0;
  port.OnRxChar = [&](TCustomComm*, int) {
    char buf[64];
    received += port.Read(buf, sizeof buf);
  };
  port.Open();
  EXPECT_EQ(std::vector<int>{-1}, errors);
  EXPECT_TRUE(port.Connected());
  ASSERT_TRUE(pty.Send("still here"));
  EXPECT_TRUE(Pump([&] { return received == 10; }));
}

TEST(SerialTermios, RecordForFramingAndHandshakes) {
  termios base{};
  commos::Dcb dcb;
  dcb.ByteSize = 7;
  dcb.Parity = 2;
  dcb.StopBits = 2;
  dcb.Flags = FlagWord(fcCTS, {coParityCheck});
  auto plan = commos::detail::BuildTermios(dcb, base);
  ASSERT_TRUE(plan.ok);
  EXPECT_EQ(static_cast<tcflag_t>(CS7), plan.tio.c_cflag & CSIZE);
  EXPECT_TRUE(plan.tio.c_cflag & PARENB);
  EXPECT_FALSE(plan.tio.c_cflag & PARODD);
  EXPECT_TRUE(plan.tio.c_cflag & CSTOPB);
  EXPECT_TRUE(plan.tio.c_cflag & CRTSCTS);
  EXPECT_TRUE(plan.tio.c_iflag & INPCK);
  EXPECT_FALSE(plan.setDtr);

  dcb.Parity = 3;  // mark
  dcb.Flags = FlagWord(fcDTR, {});
  plan = commos::detail::BuildTermios(dcb, base);
  EXPECT_TRUE((plan.tio.c_cflag & (PARENB | CMSPAR | PARODD)) == (PARENB | CMSPAR | PARODD));
  EXPECT_FALSE(plan.tio.c_cflag & CRTSCTS);
  EXPECT_TRUE(plan.setDtr);

  dcb.BaudRate = 56000;
  EXPECT_TRUE(commos::detail::BuildTermios(dcb, base).customBaud);
  dcb.ByteSize = 4;  // no terminal frames four bits
  EXPECT_FALSE(commos::detail::BuildTermios(dcb, base).ok);
}

TEST(SerialNames, PortDirectoryMapping) {
  setenv("BRAE_PORT_DIR", "/tmp/brae ports", 1);
  EXPECT_EQ("/tmp/brae ports/com4", commos::ResolvePortName("Com4"));
  EXPECT_EQ("/tmp/brae ports/com25", commos::ResolvePortName("COM25"));
  EXPECT_EQ("/tmp/brae ports/com7", commos::ResolvePortName("com07"));
  EXPECT_EQ("Com", commos::ResolvePortName("Com"));
  EXPECT_EQ("Com1x", commos::ResolvePortName("Com1x"));
  EXPECT_EQ("/dev/ttyS0", commos::ResolvePortName("/dev/ttyS0"));
  unsetenv("BRAE_PORT_DIR");
  // Without the directory, a number beyond this machine's devices names nothing.
  EXPECT_EQ("", commos::ResolvePortName("Com999"));
  const std::string first = commos::ResolvePortName("Com1");
  if (!first.empty()) {
    EXPECT_EQ(0u, first.rfind("/dev/tty", 0));
  }
}

// Sets (or, for nullptr, removes) an environment variable for one scope.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    Set(name, value);
  }
  ~EnvVar() { Set(name_, saved_ ? saved_->c_str() : nullptr); }

 private:
  static void Set(const char* name, const char* value) { value ? setenv(name, value, 1) : unsetenv(name); }
  const char* name_;
  std::optional<std::string> saved_;
};

// A machine of the test's own (BRAE_DEV_ROOT) with two adapters. The port is pinned to the first, which is
// pulled: its name now counts the second, which it must never open; then the first comes back.
TEST_F(PortTest, PinnedPortOpensItsOwnDeviceOrNone) {
  struct Case {
    const char* name;
    bool byId;
    const char* backAs;
  } const cases[] = {
      {"by-id, back under its own name", true, "ttyUSB0"},
      {"by-id, back as another ttyUSB", true, "ttyUSB2"},
      {"device path, back under its own name", false, "ttyUSB0"},
  };
  const EnvVar noPortDir("BRAE_PORT_DIR", nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::TempDir root;
    const std::string dev = root / "dev", byId = dev + "/serial/by-id";
    std::filesystem::create_directories(byId);
    const EnvVar devRoot("BRAE_DEV_ROOT", dev.c_str());
    Pty first, second;
    std::filesystem::create_symlink(first.path(), dev + "/ttyUSB0");
    std::filesystem::create_symlink(second.path(), dev + "/ttyUSB1");
    const std::string firstById = byId + "/usb-Brae_Adapter_A-if00-port0";
    if (c.byId) {
      std::filesystem::create_symlink("../../ttyUSB0", firstById);
      std::filesystem::create_symlink("../../ttyUSB1", byId + "/usb-Brae_Adapter_B-if00-port0");
    }
    port.SetDeviceName("Com1");
    port.Open();
    ASSERT_TRUE(port.Connected());
    EXPECT_EQ(c.byId ? firstById : dev + "/ttyUSB0", port.PinDevice());
    port.Close();

    std::filesystem::remove(dev + "/ttyUSB0");
    if (c.byId) std::filesystem::remove(firstById);
    ASSERT_EQ(dev + "/ttyUSB1", commos::ResolvePortName("Com1"));
    errors.clear();
    port.Open();
    EXPECT_FALSE(port.Connected()) << "opened the other adapter";
    EXPECT_EQ(std::vector<int>{kErrNotInstalled}, errors);
    EXPECT_TRUE(port.LastOpenFoundNoDevice()) << port.LastOsError();

    std::filesystem::create_symlink(first.path(), dev + "/" + c.backAs);
    if (c.byId) std::filesystem::create_symlink(std::string("../../") + c.backAs, firstById);
    port.Open();
    ASSERT_TRUE(port.Connected());
    EXPECT_EQ(1, port.Write("x", 1));
    EXPECT_EQ("x", first.Receive(1, 2000));
    port.Close();
    // Another name is another port: the pin goes with the old one.
    port.SetDeviceName("Com2");
    EXPECT_EQ("", port.PinnedDevice());
    port.SetDeviceName("Com1");
  }
}

TEST_F(PortTest, PortDirectoryPinsItsOwnLinkWhateverDevHolds) {
  testing_support::TempDir root;
  std::filesystem::create_directories(root / "dev/serial/by-id");
  std::filesystem::create_directories(root / "ports");
  const EnvVar portDir("BRAE_PORT_DIR", (root / "ports").c_str());
  const EnvVar devRoot("BRAE_DEV_ROOT", (root / "dev").c_str());
  Pty pty;
  std::filesystem::create_symlink(pty.path(), root / "ports/com3");
  std::filesystem::create_symlink(pty.path(), root / "dev/serial/by-id/usb-Brae_Adapter_A-if00-port0");
  port.SetDeviceName("Com3");
  EXPECT_EQ("", port.PinDevice());  // closed: nothing to pin
  port.Open();
  ASSERT_TRUE(port.Connected());
  EXPECT_EQ(root / "ports/com3", port.PinDevice());
  EXPECT_EQ(root / "ports/com3", port.StableDeviceName());
}

TEST(SerialOsErrors, ErrnoKindsAndHints) {
  using commos::ErrorKind;
  struct Case {
    int err;
    ErrorKind kind;
    const char* hintWord;  // in the hint the technician reads; nullptr: no hint
  } cases[] = {
      {ENOENT, ErrorKind::Missing, "plugged in"},   {ENODEV, ErrorKind::Missing, "plugged in"},
      {ENXIO, ErrorKind::Missing, "plugged in"},    {EBUSY, ErrorKind::Busy, "another program"},
      {EAGAIN, ErrorKind::Busy, "another program"}, {EACCES, ErrorKind::Denied, "dialout"},
      {EPERM, ErrorKind::Denied, "dialout"},        {EIO, ErrorKind::Gone, "unplugged"},
      {ENOTTY, ErrorKind::Other, nullptr},          {EISDIR, ErrorKind::Other, nullptr},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.kind, commos::detail::KindOfErrno(c.err)) << c.err;
    EXPECT_FALSE(commos::detail::Fail("/dev/x", c.err));
    EXPECT_EQ(c.kind, commos::LastErrorKind()) << c.err;
    const std::string text = commos::LastErrorText();
    EXPECT_EQ(0u, text.rfind(std::string("/dev/x: ") + std::strerror(c.err), 0)) << text;
    if (c.hintWord) {
      EXPECT_NE(std::string::npos, text.find(c.hintWord)) << text;
    } else {
      EXPECT_EQ(std::string("/dev/x: ") + std::strerror(c.err), text);
    }
  }
  // A device that vanished is gone whichever errno showed it.
  commos::detail::Fail("/dev/x", ENXIO, ErrorKind::Gone);
  EXPECT_EQ(ErrorKind::Gone, commos::LastErrorKind());
  EXPECT_NE(std::string::npos, commos::LastErrorText().find("unplugged"));
}

// Each call that fails must say why now, not leave the reason of an earlier failure behind.
TEST(SerialOsErrors, EveryFailedCallSetsTheLastError) {
  using commos::ErrorKind;
  Pty pty;
  ASSERT_TRUE(pty.ok());
  commos::Handle closed = commos::CreateFile(pty.path());
  ASSERT_TRUE(closed);
  ASSERT_TRUE(commos::CloseHandle(closed));
  const TempDir dir;
  const std::string file = dir / "file";
  std::ofstream(file) << "x";
  commos::Handle disk = commos::CreateFile(file);
  ASSERT_TRUE(disk);
  commos::Handle open = commos::CreateFile(pty.path());
  ASSERT_TRUE(open);

  commos::Dcb dcb;
  uint32_t n = 0;
  char buf[4];
  commos::WaitableEvent wake;
  wake.Set();
  struct Case {
    const char* what;
    std::function<bool()> call;
    int err;
  } cases[] = {
      {"SetupComm closed", [&] { return commos::SetupComm(closed, 64, 64); }, EBADF},
      {"SetupComm file", [&] { return commos::SetupComm(disk, 64, 64); }, ENOTTY},
      {"SetupComm no queue", [&] { return commos::SetupComm(open, 0, 64); }, EINVAL},
      {"GetCommState closed", [&] { return commos::GetCommState(closed, &dcb); }, EBADF},
      {"GetCommState file", [&] { return commos::GetCommState(disk, &dcb); }, ENOTTY},
      {"SetCommMask closed", [&] { return commos::SetCommMask(closed, commos::EV_RXCHAR); }, EBADF},
      {"SetCommMask file", [&] { return commos::SetCommMask(disk, commos::EV_RXCHAR); }, ENOTTY},
      {"SetCommState file", [&] { return commos::SetCommState(disk, dcb); }, ENOTTY},
      {"SetCommTimeouts closed", [&] { return commos::SetCommTimeouts(closed, {}); }, EBADF},
      {"EscapeCommFunction unknown", [&] { return commos::EscapeCommFunction(open, 99); }, EINVAL},
      {"PurgeComm closed", [&] { return commos::PurgeComm(closed, commos::PURGE_RXCLEAR); }, EBADF},
      {"ClearCommError closed", [&] { return commos::ClearCommError(closed, nullptr, nullptr); }, EBADF},
      {"CloseHandle twice", [&] { return commos::CloseHandle(closed); }, EBADF},
      {"CloseHandle empty", [&] { return commos::CloseHandle({}); }, EBADF},
      {"ReadFile closed", [&] { return commos::ReadFile(closed, buf, 1, &n) != commos::IoResult::Failed; },
       EBADF},
      {"WaitCommEvent woken", [&] { return commos::WaitCommEvent(open, &n, wake); }, ECANCELED},
  };
  for (const Case& c : cases) {
    // A stale reason of another kind first.
    ASSERT_FALSE(commos::CreateFile(dir / "missing"));
    ASSERT_EQ(ErrorKind::Missing, commos::LastErrorKind());
    EXPECT_FALSE(c.call()) << c.what;
    EXPECT_EQ(commos::detail::KindOfErrno(c.err), commos::LastErrorKind()) << c.what;
    EXPECT_NE(std::string::npos, commos::LastErrorText().find(std::strerror(c.err)))
        << c.what << ": " << commos::LastErrorText();
  }
  commos::CloseHandle(open);
  commos::CloseHandle(disk);
}

}  // namespace
}  // namespace serial_test
