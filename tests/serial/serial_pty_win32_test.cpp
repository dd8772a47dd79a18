// The serial component on Windows against real lines: under Wine, COM20 and COM21 of the test prefix lead to
// pseudo-terminals of brae-pty-peer (high numbers, so an updater's port scan in another test finds its
// simulated indicator on a low one first), which sends every byte back and pulls a line when a test asks
// ("unplug-comN" beside the links). What a pseudo-terminal under Wine cannot show is skipped with the reason.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "serial/SerialPort.h"
#include "serial/win32/win.h"
#include "toolkit/loop/LoopRuntime.h"

using namespace serial;

namespace {

constexpr int kEcho = 20;    // a line that sends every byte back
constexpr int kUnplug = 21;  // the same, pulled and brought back by the test

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// Asks the peer to act on a line, through a file beside its link (BRAE_WINE_PORT_DIR, a Unix path).
void Steer(int port, const char* action) {
  const char* dir = std::getenv("BRAE_WINE_PORT_DIR");
  ASSERT_NE(dir, nullptr) << "run under build-windows/wine-run";
  std::ofstream(std::string("Z:") + dir + "/" + action + "-com" + std::to_string(port)) << "\n";
}

struct SerialPtyWin32 : ::testing::Test {
  SerialPtyWin32() {
    tk::Install(&rt);
    port.OnError = [this](TCustomComm*, int code) { errors.push_back(code); };
  }
  ~SerialPtyWin32() override {
    port.Close();
    EXPECT_TRUE(rt.RunUntil([] { return tk::Thread::WaitForDetachedThreads(0); }, 5000));
    tk::Install(nullptr);
  }
  void SetUp() override {
    if (!std::getenv("BRAE_WINE_PORT_DIR")) GTEST_SKIP() << "needs the pty peer of the Wine test prefix";
  }
  void OpenCom(int n) {
    port.SetDeviceName("Com" + std::to_string(n));
    port.Open();
    ASSERT_TRUE(port.Connected()) << port.LastOsError();
  }
  // Collects what comes back through OnRxChar.
  void Collect() {
    port.OnRxChar = [this](TCustomComm* sender, int count) {
      EXPECT_EQ(sender, &port);
      EXPECT_GT(count, 0);
      ++rxEvents;
      char buf[8192];
      const int n = port.Read(buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    };
  }
  bool Pump(const std::function<bool()>& until, uint32_t ms = 5000) { return rt.RunUntil(until, ms); }

  tk::LoopRuntime rt{tk::LoopRuntime::Clock::Real};
  TSerialPort port;
  std::vector<int> errors;
  std::string got;
  int rxEvents = 0;
};

TEST_F(SerialPtyWin32, BytesComeBackAsRxCharOnTheUiThread) {
  OpenCom(kEcho);
  Collect();
  EXPECT_EQ(5, port.Write("hello", 5));
  ASSERT_TRUE(Pump([&] { return got == "hello"; })) << got;
  // Nothing queued: a read returns at once with nothing, and the port is not taken for gone.
  char buf[8];
  EXPECT_EQ(0, port.Read(buf, sizeof buf));
  EXPECT_EQ(4, port.Write("more", 4));
  ASSERT_TRUE(Pump([&] { return got == "hellomore"; })) << got;
  EXPECT_TRUE(errors.empty());
}

TEST_F(SerialPtyWin32, ABlockComesBackWholeAndInOrderAtTheUpdatersRate) {
  OpenCom(kEcho);
  port.SetBaudRate(br38400);
  Collect();
  std::string block(20000, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + i / 251);
  for (size_t at = 0; at < block.size(); at += 1000) EXPECT_EQ(1000, port.Write(block.data() + at, 1000));
  ASSERT_TRUE(Pump([&] { return got.size() >= block.size(); }, 20000)) << got.size();
  EXPECT_TRUE(got == block);
  EXPECT_GE(rxEvents, 1);
  EXPECT_TRUE(errors.empty());
}

TEST_F(SerialPtyWin32, TxEmptyAfterAWriteWhileAHandlerListens) {
  OpenCom(kEcho);
  int empties = 0;
  port.OnTxEmpty = [&](TCustomComm*) { ++empties; };
  EXPECT_EQ(3, port.Write("abc", 3));
  EXPECT_TRUE(Pump([&] { return empties >= 1; }));
}

TEST_F(SerialPtyWin32, ManyOpenCloseCyclesWithBytesInFlightLeakNothing) {
  int calls = 0;
  port.OnRxChar = [&](TCustomComm*, int) { ++calls; };
  OpenCom(kEcho);
  port.Close();
  ASSERT_TRUE(rt.RunUntil([] { return tk::Thread::WaitForDetachedThreads(0); }, 5000));
  DWORD before = 0, after = 0;
  GetProcessHandleCount(GetCurrentProcess(), &before);
  for (int i = 0; i < 30; ++i) {
    OpenCom(kEcho);
    port.Write("x", 1);
    if (i % 2) rt.RunFor(2);
    port.Close();
  }
  ASSERT_TRUE(rt.RunUntil([] { return tk::Thread::WaitForDetachedThreads(0); }, 5000));
  const int callsAfterClose = calls;
  rt.RunFor(100);
  EXPECT_EQ(callsAfterClose, calls);  // no handler runs after its port was closed
  GetProcessHandleCount(GetCurrentProcess(), &after);
  EXPECT_LE(after, before + 2);  // Wine may keep a handle of its own; 30 lost would show
  EXPECT_TRUE(errors.empty());
}

TEST_F(SerialPtyWin32, AnUnpluggedLineIsReportedOnceAndTheSameNameOpensAgainOnceItIsBack) {
  OpenCom(kUnplug);
  Collect();
  EXPECT_EQ(2, port.Write("up", 2));
  ASSERT_TRUE(Pump([&] { return got == "up"; }));
  std::vector<int> lineErrors;
  port.OnError = [&](TCustomComm*, int e) { lineErrors.push_back(e); };
  FILETIME created, exited, kernelBefore, userBefore, kernelAfter, userAfter;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernelBefore, &userBefore);
  Steer(kUnplug, "unplug");
  ASSERT_TRUE(Pump([&] { return !lineErrors.empty(); }));
  rt.RunFor(500);
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernelAfter, &userAfter);
  ASSERT_EQ(1u, lineErrors.size());
  EXPECT_TRUE(lineErrors[0] & 0x0400) << lineErrors[0];
  EXPECT_EQ(commos::ErrorKind::Gone, port.LastErrorKind());
  auto ms = [](const FILETIME& k, const FILETIME& u) {
    auto v = [](const FILETIME& f) { return (uint64_t{f.dwHighDateTime} << 32 | f.dwLowDateTime) / 10000.0; };
    return v(k) + v(u);
  };
  // A monitor spinning on the dead line would burn the whole half second.
  EXPECT_LT(ms(kernelAfter, userAfter) - ms(kernelBefore, userBefore), 250.0);
  char buf[8];
  EXPECT_EQ(0, port.Read(buf, sizeof buf));  // quietly nothing
  std::vector<int> codes;
  port.OnError = [&](TCustomComm*, int e) { codes.push_back(e); };
  EXPECT_EQ(0, port.Write("x", 1));
  EXPECT_EQ(std::vector<int>{kErrWrite}, codes);
  port.Close();

  // Back: the same name opens and carries bytes again.
  Steer(kUnplug, "replug");
  port.OnError = [this](TCustomComm*, int code) { errors.push_back(code); };
  ASSERT_TRUE(Pump(
      [&] {
        port.Open();
        return port.Connected();
      },
      5000));
  got.clear();
  EXPECT_EQ(4, port.Write("back", 4));
  EXPECT_TRUE(Pump([&] { return got == "back"; })) << got;
}

// What a pseudo-terminal under Wine cannot show; these run on a real Windows PC against a real port.
TEST_F(SerialPtyWin32, ASecondOpenOfAPortInUseIsRefusedAsBusy) {
  if (UnderWine()) GTEST_SKIP() << "under Wine a second open of a port succeeds";
  OpenCom(kEcho);
  TSerialPort other;
  int otherError = 0;
  other.OnError = [&](TCustomComm*, int code) { otherError = code; };
  other.SetDeviceName("Com" + std::to_string(kEcho));
  other.Open();
  EXPECT_FALSE(other.Connected());
  EXPECT_EQ(kErrNotInstalled, otherError);
  EXPECT_EQ(commos::ErrorKind::Busy, other.LastErrorKind());
  EXPECT_NE(std::string::npos, other.LastOsError().find("another program")) << other.LastOsError();
}

TEST_F(SerialPtyWin32, RatesOutsideTheClassicTableAreSet) {
  if (UnderWine()) GTEST_SKIP() << "under Wine a pseudo-terminal takes only the classic POSIX rates";
  OpenCom(kEcho);
  for (TBaudrate rate : {br14400, br56000, br128000, br256000}) {
    port.SetBaudRate(rate);
    EXPECT_EQ(BaudRateValue(rate), port.DCB().BaudRate);
    EXPECT_TRUE(errors.empty()) << BaudRateValue(rate);  // the system took the block
  }
}

TEST_F(SerialPtyWin32, ModemLinesAreDriven) {
  if (UnderWine()) GTEST_SKIP() << "under Wine the modem lines of a pseudo-terminal fail (error 50)";
  OpenCom(kEcho);
  port.SetDTR(false);
  port.SetRTS(false);
  port.SetDTR(true);
  port.SetRTS(true);
  EXPECT_TRUE(errors.empty());
}

}  // namespace
