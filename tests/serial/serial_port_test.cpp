#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "serial/SerialPort.h"
#include "serial/posix/custom_baud.h"
#include "serial/posix/os_error.h"
#include "serial/posix/termios_map.h"
#include "tests/support/files.h"
#include "tests/support/pty.h"
#include "toolkit/loop/LoopRuntime.h"

using namespace serial;
using testing_support::Pty;

namespace {

int OpenFdCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// Counts the calls other threads hand to the UI thread, so a test can tell that the monitor did deliver.
class CountingRuntime : public tk::LoopRuntime {
 public:
  using LoopRuntime::LoopRuntime;
  bool Synchronize(const tk::Method& fn) override {
    if (!InUiThread()) ++handOvers;
    return LoopRuntime::Synchronize(fn);
  }
  std::atomic<int> handOvers{0};
};

// A port whose reports are recorded, on a loop runtime that the test pumps.
struct PortTest : ::testing::Test {
  PortTest() {
    tk::Install(&rt);
    port.OnError = [this](TCustomComm* sender, int code) {
      EXPECT_EQ(&port, sender);
      errors.push_back(code);
    };
  }
  ~PortTest() override {
    port.Close();
    // Every monitor must have ended: no thread outlives its port. A monitor may be waiting for the UI thread
    // to take its last event, so keep the loop running meanwhile.
    EXPECT_TRUE(AllMonitorsEnded());
    tk::Install(nullptr);
  }
  bool Pump(const std::function<bool()>& until, uint32_t ms = 3000) { return rt.RunUntil(until, ms); }
  bool AllMonitorsEnded() {
    return Pump([] { return tk::Thread::WaitForDetachedThreads(0); }, 5000);
  }
  // Waits (without running the loop) until pred holds, at most 3 s.
  static bool WaitFor(const std::function<bool()>& pred) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  void OpenOn(const Pty& pty) {
    ASSERT_TRUE(pty.ok());
    port.SetDeviceName(pty.path());
    port.Open();
    ASSERT_TRUE(port.Connected());
  }

  CountingRuntime rt{tk::LoopRuntime::Clock::Virtual};
  TSerialPort port;
  std::vector<int> errors;
};

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

using SerialDelay = PortTest;

TEST_F(SerialDelay, TenSlicesEachPastItsStart) {
  rt.SetAutoAdvance(1);  // every message-processing round moves the virtual clock by 1 ms
  int64_t before = rt.VirtualMs();
  DelayProcessingMessages(0);
  EXPECT_EQ(10, rt.VirtualMs() - before);  // ten slices of one tick each
  before = rt.VirtualMs();
  DelayProcessingMessages(200);
  EXPECT_EQ(210, rt.VirtualMs() - before);  // ten slices of just over 20 ms
  // Timers and queued work keep running inside the delay.
  auto timer = rt.NewTimer();
  timer->SetInterval(50);
  int fired = 0;
  timer->SetOnTimer([&] { ++fired; });
  DelayProcessingMessages(200);
  EXPECT_EQ(4, fired);
}

TEST_F(SerialDelay, EndsAcrossTheCounterWrap) {
  rt.SetAutoAdvance(1);
  rt.SetVirtualClock(0xFFFFFFFFu - 100, 46364.5);
  const int64_t before = rt.VirtualMs();
  DelayProcessingMessages(200);
  EXPECT_EQ(210, rt.VirtualMs() - before);
}

// On the real clock the pause sleeps in the loop: it lasts its time, serves another thread's call at once,
// and costs the UI thread almost no CPU (a pause that spins burns all of its 200 ms). Generous bounds: a busy
// machine may be slow, never much busier on this thread.
TEST(SerialDelayRealClock, SleepsInTheLoopAndServesCallsMeanwhile) {
  tk::LoopRuntime rt{tk::LoopRuntime::Clock::Real};
  tk::Install(&rt);
  const auto ThreadCpuMs = [] {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
  };
  std::atomic<int64_t> callRanUs{0};
  const int64_t start = tk::MonotonicUs();
  std::thread worker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    rt.Synchronize([&] { callRanUs = tk::MonotonicUs(); });
  });
  const int64_t cpuBefore = ThreadCpuMs();
  DelayProcessingMessages(200);
  const int64_t cpuMs = ThreadCpuMs() - cpuBefore;
  const int64_t tookMs = (tk::MonotonicUs() - start) / 1000;
  worker.join();
  EXPECT_GE(tookMs, 200);
  EXPECT_LT(cpuMs, 40) << "over " << tookMs << " ms";
  ASSERT_NE(0, callRanUs.load());
  EXPECT_LT((callRanUs - start) / 1000, 150);  // in the pause, not after it
  tk::Install(nullptr);
}

using SerialOpen = PortTest;

TEST_F(SerialOpen, OpenCloseReopen) {
  Pty pty;
  OpenOn(pty);
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
  Pty pty;
  OpenOn(pty);
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
  char dir[] = "/tmp/brae-serial-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  const std::string file = std::string(dir) + "/plain file";
  std::ofstream(file) << "not a port";
  const int fdsBefore = OpenFdCount();
  using commos::ErrorKind;
  struct Case {
    std::string name;
    int code;
    ErrorKind kind;
  } cases[] = {
      {file, kErrInvalidHandle, ErrorKind::Other},
      {dir, kErrNotInstalled, ErrorKind::Other},
      {"/dev/null", kErrNotInstalled, ErrorKind::Other},
      {std::string(dir) + "/missing", kErrNotInstalled, ErrorKind::Missing},
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
  std::remove(file.c_str());
  rmdir(dir);
}

TEST_F(SerialOpen, PathWithSpacesOpens) {
  Pty pty;
  char dir[] = "/tmp/brae serial XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  const std::string link = std::string(dir) + "/my port";
  ASSERT_EQ(0, symlink(pty.path().c_str(), link.c_str()));
  port.SetDeviceName(link);
  port.Open();
  EXPECT_TRUE(port.Connected());
  port.Close();
  unlink(link.c_str());
  rmdir(dir);
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

using SerialClosed = PortTest;

TEST_F(SerialClosed, ReadWriteAndModemLinesOnAClosedPort) {
  char buf[8];
  EXPECT_EQ(-1, port.Read(buf, sizeof buf));
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(0, port.Write("x", 1));
  EXPECT_EQ(std::vector<int>{-5}, errors);
  errors.clear();
  port.SetDTR(true);
  port.SetRTS(true);
  EXPECT_EQ((std::vector<int>{-8, -8}), errors);
  port.DetachEvents();  // nothing to detach: no effect
}

TEST_F(SerialClosed, WriteAfterCloseAndSettersStoreOnly) {
  Pty pty;
  OpenOn(pty);
  port.Close();
  EXPECT_EQ(0, port.Write("x", 1));
  EXPECT_EQ(std::vector<int>{-5}, errors);
  errors.clear();
  port.SetBaudRate(br38400);
  port.SetFlowControl(fcSoftware);
  port.EventChars().SetXonChar(0x11);
  EXPECT_EQ(B9600, cfgetospeed(&static_cast<const termios&>(pty.Settings())));
  port.Open();
  const termios t = pty.Settings();
  EXPECT_EQ(B38400, cfgetospeed(&t));
  EXPECT_TRUE(t.c_iflag & IXON);
  EXPECT_TRUE(errors.empty());
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
  t = pty.Settings();
  EXPECT_EQ(B38400, cfgetospeed(&t));
  port.SetFlowControl(fcNone);
  t = pty.Settings();
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF));
  EXPECT_EQ(0x0001u, port.DCB().Flags);
  port.SetBaudRate(br9600);
  t = pty.Settings();
  EXPECT_EQ(B9600, cfgetospeed(&t));
  EXPECT_TRUE(errors.empty());
}

TEST_F(SerialSettings, RatesOutsideTheClassicTable) {
  Pty pty;
  OpenOn(pty);
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
  Pty pty;
  OpenOn(pty);
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
  t = pty.Settings();
  EXPECT_EQ(B1200, cfgetospeed(&t));
  port.EventChars().SetXoffChar(19);  // same value, still applied
  t = pty.Settings();
  EXPECT_EQ(B9600, cfgetospeed(&t));
}

TEST_F(SerialSettings, SettersThatNeedAClosedPortReportAndStore) {
  Pty pty;
  OpenOn(pty);
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
  Pty pty;
  OpenOn(pty);
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

using SerialFlow = PortTest;

TEST_F(SerialFlow, XoffFromTheFarSideHoldsOutputUntilXon) {
  Pty pty;
  port.SetFlowControl(fcSoftware);
  OpenOn(pty);
  ASSERT_TRUE(pty.Send("\x13"));  // XOFF
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::atomic<int> result{-100};
  std::thread writer([&] { result = port.Write("held", 4); });
  EXPECT_EQ("", pty.Receive(4, 300));
  ASSERT_TRUE(pty.Send("\x11"));  // XON
  EXPECT_EQ("held", pty.Receive(4, 2000));
  writer.join();
  EXPECT_EQ(4, result);
}

TEST_F(SerialFlow, WriteThatCannotFinishInTimeReturnsMinusOne) {
  Pty pty;
  port.SetFlowControl(fcSoftware);
  port.SetWriteTimeout(100);
  OpenOn(pty);
  ASSERT_TRUE(pty.Send("\x13"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // Fill whatever the kernel buffers, then one more write must give up after its time-out.
  std::string block(4096, 'x');
  int result = 0;
  for (int i = 0; i < 64 && result != -1; ++i)
    result = port.Write(block.data(), static_cast<int>(block.size()));
  EXPECT_EQ(-1, result);
  EXPECT_TRUE(errors.empty());
}

TEST_F(SerialFlow, AWriteWhoseTimeOutRunsOutIsNotCutAndItsBytesGoOutAfterTheXon) {
  // As a Windows driver keeps an overlapped write: the wait ends with -1, the write stays pending, and its
  // bytes leave once the far side lets the line go, without another call (the monitor pushes them).
  Pty pty;
  port.SetFlowControl(fcSoftware);
  port.SetWriteTimeout(100);
  OpenOn(pty);
  const uint64_t cutBefore = commos::CancelledTransfers().onClose;
  int ended = 0;
  port.OnWriteDone = [&](TCustomComm*) { ++ended; };
  ASSERT_TRUE(pty.Send("\x13"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::string sent;
  int result = 0;
  for (int i = 0; i < 64 && result != -1; ++i) {
    std::string block(4096, static_cast<char>('a' + i % 26));
    result = port.Write(block.data(), static_cast<int>(block.size()));
    sent += block;
  }
  ASSERT_EQ(-1, result);
  EXPECT_EQ(0, port.WaitWrite(50)) << "still held by the XOFF";
  // A write while one is pending takes nothing: it waits for the pending one within its own time-out.
  EXPECT_EQ(-1, port.Write("z", 1));
  ASSERT_TRUE(pty.Send("\x11"));
  EXPECT_TRUE(pty.Receive(sent.size(), 5000) == sent) << "the bytes of the pending write were lost";
  // Its end comes as an event: nothing needs to look for it.
  EXPECT_TRUE(Pump([&] { return ended == 1; }));
  EXPECT_EQ(1, port.WaitWrite(1000));
  EXPECT_EQ(1, port.Write("z", 1));
  EXPECT_EQ("z", pty.Receive(1, 2000));
  EXPECT_EQ(cutBefore, commos::CancelledTransfers().onClose);
  EXPECT_TRUE(errors.empty());
}

TEST_F(SerialFlow, OnlyClosingThePortOrPurgingItsOutputCutsAPendingWriteAndItIsCounted) {
  // The purge: a write held past its time where no indicator has answered.
  for (const bool close : {true, false}) {
    SCOPED_TRACE(close ? "closing the port" : "purging the output");
    Pty pty;
    port.SetFlowControl(fcSoftware);
    port.SetWriteTimeout(50);
    OpenOn(pty);
    const commos::TransferCancels before = commos::CancelledTransfers();
    ASSERT_TRUE(pty.Send("\x13"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string block(4096, 'x');
    int result = 0;
    for (int i = 0; i < 64 && result != -1; ++i)
      result = port.Write(block.data(), static_cast<int>(block.size()));
    ASSERT_EQ(-1, result);
    EXPECT_EQ(before.onClose, commos::CancelledTransfers().onClose);
    close ? port.Close() : port.PurgeOutput();
    EXPECT_EQ(before.onClose + close, commos::CancelledTransfers().onClose);
    EXPECT_EQ(before.onTimeout + !close, commos::CancelledTransfers().onTimeout);
    EXPECT_EQ(1, close ? 1 : port.WaitWrite(0)) << "nothing left pending";
    port.Close();
  }
}

using SerialEvents = PortTest;

TEST_F(SerialEvents, RxCharOnTheUiThreadWithTheQueuedCount) {
  Pty pty;
  OpenOn(pty);
  std::string got;
  int lastCount = 0;
  std::thread::id handlerThread;
  port.OnRxChar = [&](TCustomComm* sender, int count) {
    EXPECT_EQ(&port, sender);
    handlerThread = std::this_thread::get_id();
    lastCount = count;
    char buf[4096];
    const int n = port.Read(buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
  };
  ASSERT_TRUE(pty.Send("hello"));
  ASSERT_TRUE(Pump([&] { return got == "hello"; }));
  EXPECT_EQ(std::this_thread::get_id(), handlerThread);
  EXPECT_GE(lastCount, 1);
  EXPECT_LE(lastCount, 5);
  // Nothing queued: a read returns 0 at once, and the port is not taken for gone.
  char buf[8];
  errors.clear();
  EXPECT_EQ(0, port.Read(buf, sizeof buf));
  ASSERT_TRUE(pty.Send("more"));
  ASSERT_TRUE(Pump([&] { return got == "hellomore"; }));
  EXPECT_TRUE(errors.empty());
}

TEST_F(SerialEvents, UnreadBytesAreNotReportedAgainUntilMoreArrive) {
  Pty pty;
  OpenOn(pty);
  std::vector<int> counts;
  port.OnRxChar = [&](TCustomComm*, int count) { counts.push_back(count); };
  ASSERT_TRUE(pty.Send("ab"));
  ASSERT_TRUE(Pump([&] { return !counts.empty(); }));
  rt.RunFor(150);
  EXPECT_EQ(std::vector<int>{2}, counts);
  ASSERT_TRUE(pty.Send("c"));
  ASSERT_TRUE(Pump([&] { return counts.size() == 2; }));
  EXPECT_EQ(3, counts[1]);
}

// Exposes the dispatcher so that a mask can be handed to it directly.
class DispatchingPort : public TSerialPort {
 public:
  void Dispatch(uint32_t mask) { DispatchCommEvents(nullptr, mask); }
};

TEST_F(SerialEvents, HandlersRunInTheFixedOrder) {
  Pty pty;
  DispatchingPort p;
  p.SetDeviceName(pty.path());
  p.SetMonitorEvents({});  // the test hands the masks over itself
  std::vector<std::string> order;
  p.OnRxChar = [&](TCustomComm*, int) { order.push_back("RxChar"); };
  p.OnBreak = [&](TCustomComm*) { order.push_back("Break"); };
  p.OnCts = [&](TCustomComm*) { order.push_back("Cts"); };
  p.OnDsr = [&](TCustomComm*) { order.push_back("Dsr"); };
  p.OnError = [&](TCustomComm*, int e) { order.push_back("Error" + std::to_string(e)); };
  p.OnRing = [&](TCustomComm*) { order.push_back("Ring"); };
  p.OnRlsd = [&](TCustomComm*) { order.push_back("Rlsd"); };
  p.OnRxFlag = [&](TCustomComm*) { order.push_back("RxFlag"); };
  p.OnTxEmpty = [&](TCustomComm*) { order.push_back("TxEmpty"); };
  p.Open();
  ASSERT_TRUE(p.Connected());
  p.Dispatch(0x01FF);  // nothing queued: no RxChar
  EXPECT_EQ((std::vector<std::string>{"Break", "Cts", "Dsr", "Error0", "Ring", "Rlsd", "RxFlag", "TxEmpty"}),
            order);
  order.clear();
  ASSERT_TRUE(pty.Send("z"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  p.Dispatch(0x0181);
  EXPECT_EQ((std::vector<std::string>{"RxChar", "Error0", "Ring"}), order);
  p.Close();
  order.clear();
  p.Dispatch(0x01FF);  // after Close: nothing
  EXPECT_TRUE(order.empty());
}

TEST_F(SerialEvents, DetachEventsStopsDelivery) {
  Pty pty;
  OpenOn(pty);
  int calls = 0;
  port.OnRxChar = [&](TCustomComm*, int) {
    ++calls;
    char buf[64];
    port.Read(buf, sizeof buf);
  };
  ASSERT_TRUE(pty.Send("1"));
  ASSERT_TRUE(Pump([&] { return calls == 1; }));
  port.DetachEvents();
  ASSERT_TRUE(pty.Send("2"));
  rt.RunFor(200);
  EXPECT_EQ(1, calls);
  EXPECT_TRUE(port.Connected());
  char buf[8];
  EXPECT_EQ(1, port.Read(buf, sizeof buf));  // the byte is there, only not announced
}

TEST_F(SerialEvents, NoHandlerRunsAfterCloseEvenWithBytesInFlight) {
  Pty pty;
  OpenOn(pty);
  int calls = 0;
  port.OnRxChar = [&](TCustomComm*, int) { ++calls; };
  port.OnError = [&](TCustomComm*, int) { ++calls; };
  ASSERT_TRUE(pty.Send("late bytes"));
  // The monitor has seen the bytes and waits for the UI thread to take the event.
  ASSERT_TRUE(WaitFor([&] { return rt.handOvers > 0; }));
  port.Close();
  rt.RunFor(200);
  EXPECT_EQ(0, calls);
}

TEST_F(SerialEvents, AnEventDispatchedAfterTheUnplugDoesNotSpendItsIoError) {
  auto pty = std::make_unique<Pty>();
  OpenOn(*pty);
  std::vector<int> lineErrors;
  port.OnRxChar = [](TCustomComm*, int) {};
  port.OnError = [&](TCustomComm*, int e) { lineErrors.push_back(e); };
  ASSERT_TRUE(pty->Send("x"));
  // The monitor's byte event waits for the UI thread; meanwhile the device goes, and a read finds it gone.
  ASSERT_TRUE(WaitFor([&] { return rt.handOvers > 0; }));
  pty->CloseMaster();
  char buf[8];
  for (int i = 0; i < 4 && port.Read(buf, sizeof buf) > 0; ++i) {
  }
  // The byte event runs first, then the one report of the vanished device: it still says why.
  ASSERT_TRUE(Pump([&] { return !lineErrors.empty(); }));
  ASSERT_EQ(1u, lineErrors.size());
  EXPECT_TRUE(lineErrors[0] & 0x0400) << lineErrors[0];
  EXPECT_EQ(commos::ErrorKind::Gone, port.LastErrorKind());
}

TEST_F(SerialEvents, UnpluggedDeviceIsReportedOnceWithoutSpinning) {
  auto pty = std::make_unique<Pty>();
  OpenOn(*pty);
  std::vector<int> lineErrors;
  port.OnError = [&](TCustomComm*, int e) { lineErrors.push_back(e); };
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  pty->CloseMaster();
  ASSERT_TRUE(Pump([&] { return !lineErrors.empty(); }));
  rt.RunFor(500);
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  ASSERT_EQ(1u, lineErrors.size());
  EXPECT_TRUE(lineErrors[0] & 0x0400) << lineErrors[0];
  EXPECT_EQ(commos::ErrorKind::Gone, port.LastErrorKind());
  EXPECT_NE(std::string::npos, CommErrorText(lineErrors[0]).find("I/O error"));
  auto cpuMs = [](const rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000.0 +
           (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000.0;
  };
  // A monitor spinning on the dead descriptor would burn the whole half second.
  EXPECT_LT(cpuMs(after) - cpuMs(before), 250.0);
  // Reads find nothing, quietly; writes fail with the write error.
  char buf[8];
  EXPECT_EQ(0, port.Read(buf, sizeof buf));
  std::vector<int> codes;
  port.OnError = [&](TCustomComm*, int e) { codes.push_back(e); };
  EXPECT_EQ(0, port.Write("x", 1));
  EXPECT_EQ(std::vector<int>{kErrWrite}, codes);
  EXPECT_EQ(commos::ErrorKind::Gone, commos::LastErrorKind()) << commos::LastErrorText();
  port.Close();
  EXPECT_FALSE(port.Connected());
}

TEST_F(SerialEvents, ManyOpenCloseCyclesLeakNothing) {
  Pty pty;
  port.OnRxChar = [&](TCustomComm*, int) {};
  const int fdsBefore = OpenFdCount();
  for (int i = 0; i < 50; ++i) {
    port.SetDeviceName(pty.path());
    port.Open();
    ASSERT_TRUE(port.Connected());
    pty.Send("x");
    if (i % 2) rt.RunFor(1);
    port.Close();
  }
  EXPECT_TRUE(AllMonitorsEnded());
  EXPECT_EQ(fdsBefore, OpenFdCount());
  EXPECT_TRUE(errors.empty());
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

// Sets or removes an environment variable for one scope.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    if (old) saved_ = old;
    had_ = old != nullptr;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~EnvVar() {
    if (had_) {
      setenv(name_, saved_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string saved_;
  bool had_ = false;
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

TEST_F(PortTest, ComponentDestroyedWithAnEventStillQueued) {
  Pty pty;
  auto* p = new TSerialPort;
  int calls = 0;
  p->OnRxChar = [&](TCustomComm*, int) { ++calls; };
  p->SetDeviceName(pty.path());
  p->Open();
  ASSERT_TRUE(p->Connected());
  ASSERT_TRUE(pty.Send("x"));
  ASSERT_TRUE(WaitFor([&] { return rt.handOvers > 0; }));  // the monitor now waits for the UI thread
  delete p;
  rt.RunFor(100);  // the queued hand-over runs against a component that is gone
  EXPECT_EQ(0, calls);
}

TEST_F(PortTest, TxEmptyAfterWritesWhileAHandlerListens) {
  Pty pty;
  OpenOn(pty);
  int empties = 0;
  port.OnTxEmpty = [&](TCustomComm*) { ++empties; };
  EXPECT_EQ(3, port.Write("abc", 3));
  ASSERT_TRUE(Pump([&] { return empties >= 1; }));
  EXPECT_EQ("abc", pty.Receive(3, 1000));
  port.OnTxEmpty = nullptr;
  const int before = empties;
  EXPECT_EQ(3, port.Write("def", 3));
  rt.RunFor(100);
  EXPECT_EQ(before, empties);
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
  char dir[] = "/tmp/brae-oserr-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  const std::string file = std::string(dir) + "/file";
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
    ASSERT_FALSE(commos::CreateFile(std::string(dir) + "/missing"));
    ASSERT_EQ(ErrorKind::Missing, commos::LastErrorKind());
    EXPECT_FALSE(c.call()) << c.what;
    EXPECT_EQ(commos::detail::KindOfErrno(c.err), commos::LastErrorKind()) << c.what;
    EXPECT_NE(std::string::npos, commos::LastErrorText().find(std::strerror(c.err)))
        << c.what << ": " << commos::LastErrorText();
  }
  commos::CloseHandle(open);
  commos::CloseHandle(disk);
  std::remove(file.c_str());
  rmdir(dir);
}

TEST(SerialOsEvent, WaitEndsWhenSetAndTheEventStaysSet) {
  commos::WaitableEvent event;
  EXPECT_FALSE(event.Wait(0));
  EXPECT_FALSE(event.Wait(20));  // times out unset
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    event.Set();
  });
  EXPECT_TRUE(event.Wait(10000));  // woken by the other thread, long before the limit
  setter.join();
  EXPECT_TRUE(event.IsSet());  // manual reset: a wait does not consume it
  EXPECT_TRUE(event.Wait(0));
  event.Reset();
  EXPECT_FALSE(event.IsSet());
}

}  // namespace
