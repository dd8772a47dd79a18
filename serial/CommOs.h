// The operating-system layer under the serial port component. It keeps the shapes of the Windows
// communications interface that the component is written against (a device control block with its flag word,
// comm time-outs, event masks, ClearCommError with its error bits and queue counts, purge and escape
// functions), so the component reads the same on every platform. Each platform implements these calls in a
// folder of its own, chosen by the build (serial/posix, serial/win32, serial/web: Web Serial in the page);
// nothing above this header sees the platform.
//
// One return convention: every call that fails (false, an empty handle, IoResult::Failed) leaves the reason
// as this thread's last error (LastErrorText, LastErrorKind).
//
// Differences from the Windows originals, chosen for POSIX:
//  - A handle is a shared reference: the monitor thread keeps the port object alive while it finishes, but
//    the device itself is closed by CloseHandle at once (after waking the monitor), so nothing uses a closed
//    or reused descriptor.
//  - Reads are not overlapped: ReadFile returns at once with what is queued. WriteFile waits at most its
//    time-out for the kernel to take every byte; what it has not taken by then stays pending in the port (a
//    copy), as an overlapped write stays pending on Windows: it goes out before any later write, pushed by
//    the monitor, WaitWrite and the next WriteFile, and only closing the port drops it.
//  - WaitCommEvent blocks until an event of the mask occurs or the caller's wake event is set.
// In the page (serial/web) the same holds on one thread: an open (CreateFile without `wait`) is Pending until
// the browser has finished it, a waiting call gives control back to the browser meanwhile, and the monitor
// polls (PollCommEvent). What Web Serial cannot do (modem-line events, mark and space parity, 5 and 6 data
// bits, a DSR/DTR handshake) is refused or never reported, not faked.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace commos {

class Port;
using Handle = std::shared_ptr<Port>;  // empty = INVALID_HANDLE_VALUE

// Device control block: the fields the component fills, with the Windows meanings.
struct Dcb {
  uint32_t BaudRate = 9600;
  uint32_t Flags = 0x0001;  // fBinary and friends, bit layout below
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;  // 4..8
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  char XonChar = 17;
  char XoffChar = 19;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
};

// Dcb::Flags bits.
constexpr uint32_t fBinary = 0x0001;
constexpr uint32_t fParity = 0x0002;
constexpr uint32_t fOutxCtsFlow = 0x0004;
constexpr uint32_t fOutxDsrFlow = 0x0008;
constexpr uint32_t fDtrControlMask = 0x0030;  // 0 disable, 0x10 enable, 0x20 handshake
constexpr uint32_t fDtrControlEnable = 0x0010;
constexpr uint32_t fDtrControlHandshake = 0x0020;
constexpr uint32_t fDsrSensitivity = 0x0040;
constexpr uint32_t fTXContinueOnXoff = 0x0080;
constexpr uint32_t fOutX = 0x0100;
constexpr uint32_t fInX = 0x0200;
constexpr uint32_t fErrorChar = 0x0400;
constexpr uint32_t fNull = 0x0800;
constexpr uint32_t fRtsControlMask = 0x3000;  // 0 disable, 0x1000 enable, 0x2000 handshake, 0x3000 toggle
constexpr uint32_t fRtsControlEnable = 0x1000;
constexpr uint32_t fRtsControlHandshake = 0x2000;
constexpr uint32_t fAbortOnError = 0x4000;

struct CommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

struct ComStat {
  uint32_t cbInQue = 0;   // received bytes waiting
  uint32_t cbOutQue = 0;  // bytes not yet sent
};

// Event bits (WaitCommEvent, SetCommMask).
constexpr uint32_t EV_RXCHAR = 0x0001;
constexpr uint32_t EV_RXFLAG = 0x0002;
constexpr uint32_t EV_TXEMPTY = 0x0004;
constexpr uint32_t EV_CTS = 0x0008;
constexpr uint32_t EV_DSR = 0x0010;
constexpr uint32_t EV_RLSD = 0x0020;
constexpr uint32_t EV_BREAK = 0x0040;
constexpr uint32_t EV_ERR = 0x0080;
constexpr uint32_t EV_RING = 0x0100;
// Not a Windows bit, and never given to the system: a write that had stayed pending has ended (its bytes all
// taken, or failed). The monitor reports it whatever the mask, so a writer waits for it without looking.
constexpr uint32_t EV_WRITEDONE = 0x10000;

// Line-error bits (ClearCommError).
constexpr uint32_t CE_RXOVER = 0x0001;
constexpr uint32_t CE_OVERRUN = 0x0002;
constexpr uint32_t CE_RXPARITY = 0x0004;
constexpr uint32_t CE_FRAME = 0x0008;
constexpr uint32_t CE_BREAK = 0x0010;
constexpr uint32_t CE_TXFULL = 0x0100;
constexpr uint32_t CE_PTO = 0x0200;
constexpr uint32_t CE_IOE = 0x0400;
constexpr uint32_t CE_DNS = 0x0800;
constexpr uint32_t CE_OOP = 0x1000;
constexpr uint32_t CE_MODE = 0x8000;

// PurgeComm flags.
constexpr uint32_t PURGE_TXABORT = 0x0001;
constexpr uint32_t PURGE_RXABORT = 0x0002;
constexpr uint32_t PURGE_TXCLEAR = 0x0004;
constexpr uint32_t PURGE_RXCLEAR = 0x0008;

// EscapeCommFunction functions.
constexpr uint32_t SETRTS = 3;
constexpr uint32_t CLRRTS = 4;
constexpr uint32_t SETDTR = 5;
constexpr uint32_t CLRDTR = 6;

constexpr uint32_t FILE_TYPE_UNKNOWN = 0;
constexpr uint32_t FILE_TYPE_DISK = 1;
constexpr uint32_t FILE_TYPE_CHAR = 2;

#if defined(_WIN32)
using NativeEvent = void*;  // an event HANDLE
#else
using NativeEvent = int;  // an eventfd (in the page, which has one thread: the flag itself)
#endif

// A manual-reset event that the monitor's wait can include.
class WaitableEvent {
 public:
  WaitableEvent();
  ~WaitableEvent();
  WaitableEvent(const WaitableEvent&) = delete;
  WaitableEvent& operator=(const WaitableEvent&) = delete;
  void Set();
  void Reset();
  bool IsSet() const;
  // Waits at most ms milliseconds for the event to be set; true when it is (it stays set).
  bool Wait(int ms) const;
  // For the platform's own wait functions only.
  NativeEvent Native() const { return native_; }

 private:
  NativeEvent native_;
};

enum class IoResult { Done, Failed, TimedOut };

// How many transfers this process's serial layer has cut short, by reason: a wait that ran out, or the port
// being closed (a pending write's unsent bytes dropped). Only a close may cut a write: a write whose wait
// runs out stays pending and its bytes still go out. For the diagnostic log and the tests.
struct TransferCancels {
  uint64_t onTimeout = 0;
  uint64_t onClose = 0;
};
TransferCancels CancelledTransfers();
// The same for one port's handle: what its own transfers lost, also once it is closed.
TransferCancels CancelledTransfers(const Handle& h);

// Opens a device exclusively. Returns an empty handle on failure (missing, busy, no permission, not a
// terminal and not a regular file); LastErrorText then says why.
//
// A remote port ("rfc2217://HOST:PORT") is connected on a worker thread. With `wait` the call waits for it;
// without, it never does: it fails with kind Pending while the connection is being made, and a later call
// takes the finished connection or its failure. After a failure the server is tried again only after a
// pause (0.5 s, doubled up to 5 s); until then the failure is told again.
Handle CreateFile(const std::string& name, bool wait = true);
// A remote open begun without waiting is not wanted any more: its connection is closed when it comes.
void CancelOpen(const std::string& name);
// Whether a remote open begun without waiting has ended, so that the next CreateFile takes its connection or
// its failure at once (also true where none is being made).
bool OpenEnded(const std::string& name);
uint32_t GetFileType(const Handle& h);
bool CloseHandle(const Handle& h);
bool SetupComm(const Handle& h, int32_t inQueue, int32_t outQueue);
bool GetCommState(const Handle& h, Dcb* dcb);
bool SetCommState(const Handle& h, const Dcb& dcb);
bool SetCommTimeouts(const Handle& h, const CommTimeouts& timeouts);
bool SetCommMask(const Handle& h, uint32_t mask);
// Blocks until an event of the port's mask occurs (true, *mask = the events) or `wake` is set (false). A port
// that has vanished reports EV_ERR (with CE_IOE waiting for ClearCommError) once, and from then on only waits
// for `wake`.
bool WaitCommEvent(const Handle& h, uint32_t* mask, const WaitableEvent& wake);
// The events of the port's mask that have occurred since the last look (true, *mask = the events), without
// waiting; false when none (and false, with the last error, for a handle that is closed). A single-threaded
// monitor (the page's) asks this in each turn instead of waiting. The same events as WaitCommEvent; Windows
// has no such call (its monitor waits).
bool PollCommEvent(const Handle& h, uint32_t* mask);
bool ClearCommError(const Handle& h, uint32_t* errors, ComStat* stat);
// PURGE_TXABORT ends a pending write, its rest dropped and counted as cut: with the receive flags too (the
// monitor's end, which comes with a close) as cut by closing, alone (a write held past its time-out) as cut
// on a time-out.
bool PurgeComm(const Handle& h, uint32_t flags);
bool EscapeCommFunction(const Handle& h, uint32_t func);
// `watchTxEmpty`: the monitor reports EV_TXEMPTY once these bytes have left (when the mask asks for it). A
// writer that nobody listens to for that event leaves it off and spares the monitor a wake-up per write.
//
// A write that has not completed within `timeoutMs` is not cancelled: it stays pending (the port keeps its
// own copy of the bytes, so the caller's buffer is free at once) and TimedOut is returned. While one is
// pending, a further WriteFile first waits for it within its own time-out; when it is still pending then,
// the new bytes are not taken (TimedOut, *written = 0). WaitWrite waits for the pending write.
IoResult WriteFile(const Handle& h, const void* data, uint32_t count, uint32_t* written, uint32_t timeoutMs,
                   bool watchTxEmpty = true);
// Waits at most `timeoutMs` for a pending write to complete: Done when none is pending (any more), TimedOut
// while it still is, Failed when the port is closed or the write failed (the device gone: LastErrorKind).
IoResult WaitWrite(const Handle& h, uint32_t timeoutMs);
IoResult ReadFile(const Handle& h, void* data, uint32_t count, uint32_t* read);

// What a failure means for the caller. Gone: a device that was there has vanished (unplugged adapter, a
// hung-up line); reopening the same name later may find it again. Missing: no such device. Pending: not
// open yet, the connection is being made (CreateFile without waiting); ask again.
enum class ErrorKind { None, Missing, Busy, Denied, Gone, Other, Pending };

// The reason for this thread's last failed call, with a hint for the technician where one helps.
std::string LastErrorText();
// Its kind (None before any failure).
ErrorKind LastErrorKind();

// One line for the diagnostic log from this thread's last successful open (advice on a slow USB adapter), or
// empty; taking it clears it.
std::string TakeOpenNotice();

// The device path a port name stands for: "ComN" (any letter case) is $BRAE_PORT_DIR/comN when that variable
// is set, otherwise the N-th serial device of this machine (USB adapters first); any other name is a path.
std::string ResolvePortName(const std::string& name);
// The device a port name reaches now, spelt one way for all its names ("COM3", "com3" and "\\.\COM3"; a
// link and its target), to tell two names of one port; empty when the name reaches no device now.
std::string PortIdentity(const std::string& name);
// The name that keeps leading to an open port's device, and to no other, for as long as it is plugged in:
// on Linux its /dev/serial/by-id link where it has one (ttyUSB0 may be another adapter after a replug),
// else the path it was opened by; on Windows the COM name, which stays with its adapter. Empty once closed.
std::string StableName(const Handle& h);

}  // namespace commos
