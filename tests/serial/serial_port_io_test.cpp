// The serial component with bytes moving: a closed port's reads and writes, software flow control, the
// events its monitor hands to the UI thread and what an unplug or a close leaves of them, and the pause that
// keeps the loop running.
#include <sys/resource.h>

#include <ctime>
#include <memory>
#include <string>

#include "serial/posix/os_error.h"
#include "tests/serial/port_fixture.h"

using namespace serial;
using testing_support::Pty;

namespace serial_test {
namespace {

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
  Pty& pty = OpenOnNewPty();
  port.Close();
  EXPECT_EQ(0, port.Write("x", 1));
  EXPECT_EQ(std::vector<int>{-5}, errors);
  errors.clear();
  port.SetBaudRate(br38400);
  port.SetFlowControl(fcSoftware);
  port.EventChars().SetXonChar(0x11);
  EXPECT_EQ(B9600, pty.OutputSpeed());
  port.Open();
  const termios t = pty.Settings();
  EXPECT_EQ(B38400, cfgetospeed(&t));
  EXPECT_TRUE(t.c_iflag & IXON);
  EXPECT_TRUE(errors.empty());
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

// Software flow control, against a far side that holds the line with XOFF.
struct SerialFlow : PortTest {
  // Opens with software flow control, and the given write time-out (ms) where one is given.
  Pty& OpenWithXonXoff(int writeTimeout = 0) {
    port.SetFlowControl(fcSoftware);
    if (writeTimeout) port.SetWriteTimeout(writeTimeout);
    return OpenOnNewPty();
  }
  static void Hold(const Pty& pty) {
    EXPECT_TRUE(pty.Send("\x13"));  // XOFF
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Holds the line, then fills whatever the kernel buffers with 4 KiB blocks until a write gives up after
  // its time-out: true if one did. `sent` gets every block handed over, the last one's too.
  bool HoldAndFill(const Pty& pty, std::string* sent = nullptr) {
    Hold(pty);
    int result = 0;
    for (int i = 0; i < 64 && result != -1; ++i) {
      const std::string block(4096, static_cast<char>('a' + i % 26));
      result = port.Write(block.data(), static_cast<int>(block.size()));
      if (sent) *sent += block;
    }
    return result == -1;
  }
};

TEST_F(SerialFlow, XoffFromTheFarSideHoldsOutputUntilXon) {
  Pty& pty = OpenWithXonXoff();
  Hold(pty);
  std::atomic<int> result{-100};
  std::thread writer([&] { result = port.Write("held", 4); });
  EXPECT_EQ("", pty.Receive(4, 300));
  ASSERT_TRUE(pty.Send("\x11"));  // XON
  EXPECT_EQ("held", pty.Receive(4, 2000));
  writer.join();
  EXPECT_EQ(4, result);
}

TEST_F(SerialFlow, WriteThatCannotFinishInTimeReturnsMinusOne) {
  Pty& pty = OpenWithXonXoff(100);
  EXPECT_TRUE(HoldAndFill(pty));
  EXPECT_TRUE(errors.empty());
}

TEST_F(SerialFlow, AWriteWhoseTimeOutRunsOutIsNotCutAndItsBytesGoOutAfterTheXon) {
  // As a Windows driver keeps an overlapped write: the wait ends with -1, the write stays pending, and its
  // bytes leave once the far side lets the line go, without another call (the monitor pushes them).
  Pty& pty = OpenWithXonXoff(100);
  const uint64_t cutBefore = commos::CancelledTransfers().onClose;
  int ended = 0;
  port.OnWriteDone = [&](TCustomComm*) { ++ended; };
  std::string sent;
  ASSERT_TRUE(HoldAndFill(pty, &sent));
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
    Pty& pty = OpenWithXonXoff(50);
    const commos::TransferCancels before = commos::CancelledTransfers();
    ASSERT_TRUE(HoldAndFill(pty));
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
  Pty& pty = OpenOnNewPty();
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
  Pty& pty = OpenOnNewPty();
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
  Pty& pty = OpenOnNewPty();
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
  Pty& pty = OpenOnNewPty();
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
  Pty& pty = OpenOnNewPty();
  std::vector<int> lineErrors;
  port.OnRxChar = [](TCustomComm*, int) {};
  port.OnError = [&](TCustomComm*, int e) { lineErrors.push_back(e); };
  ASSERT_TRUE(pty.Send("x"));
  // The monitor's byte event waits for the UI thread; meanwhile the device goes, and a read finds it gone.
  ASSERT_TRUE(WaitFor([&] { return rt.handOvers > 0; }));
  pty.CloseMaster();
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
  Pty& pty = OpenOnNewPty();
  std::vector<int> lineErrors;
  port.OnError = [&](TCustomComm*, int e) { lineErrors.push_back(e); };
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  pty.CloseMaster();
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
  Pty& pty = OpenOnNewPty();
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

}  // namespace
}  // namespace serial_test
