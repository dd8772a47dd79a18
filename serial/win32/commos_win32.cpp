// The communications calls on the Win32 comm API: open and close, settings, transfers. The port is opened for
// overlapped I/O, so no call can block the caller beyond its own time-out and the monitor's wait can be ended
// from outside. Port names, errors, the waitable event and the monitor's wait live beside this file.
#include <algorithm>
#include <atomic>

#include "serial/PortName.h"
#include "serial/net/RemoteOpen.h"
#include "serial/win32/dcb_map.h"
#include "serial/win32/port.h"

namespace commos {

using detail::Fail;
using detail::FailOn;
using detail::IsGoneError;
using detail::Remote;
using detail::Unusable;

namespace {

// A read only ever asks for bytes that are already queued, so it completes at once; this bounds a driver that
// holds it anyway.
constexpr DWORD kReadCompleteMs = 1000;
// How long closing the port waits for a cancelled write to let go of its record and bytes. Windows ends it at
// once; a system that does not (Wine lets a begun write run on) must not hold Exit.
constexpr DWORD kCutWriteMs = 200;

std::atomic<uint64_t> g_cutOnTimeout{0};
thread_local std::string t_openNotice;  // taken by TakeOpenNotice
std::atomic<uint64_t> g_cutOnClose{0};

// Waits for an overlapped read within `ms`, or until the port is being closed, and cancels it then (counted).
// Returns the read's own result with *count set (also the part done before a cancel).
bool FinishRead(Port& p, OVERLAPPED* ov, DWORD ms, DWORD* count) {
  HANDLE waits[] = {ov->hEvent, p.closing};
  const DWORD w = WaitForMultipleObjects(2, waits, FALSE, ms);
  if (w != WAIT_OBJECT_0) {
    CancelIoEx(p.h, ov);
    (w == WAIT_OBJECT_0 + 1 ? g_cutOnClose : g_cutOnTimeout).fetch_add(1);
    (w == WAIT_OBJECT_0 + 1 ? p.cutOnClose : p.cutOnTimeout).fetch_add(1);
  }
  return GetOverlappedResult(p.h, ov, count, TRUE) != FALSE;
}

enum class WriteWait { Completed, Pending, Closing };

// Waits at most `ms` for the port's pending write. Completed (also when none was pending): *count and *err
// (0 when sound) tell how it ended, and the record is free again. Pending: it goes on, untouched. Closing:
// the port is being closed, which ends it.
WriteWait AwaitWrite(Port& p, DWORD ms, DWORD* count, DWORD* err) {
  *count = 0;
  *err = 0;
  if (!p.writePending) return WriteWait::Completed;
  HANDLE waits[] = {p.writeEvent, p.closing};
  const DWORD w = WaitForMultipleObjects(2, waits, FALSE, ms);
  if (w == WAIT_OBJECT_0 + 1) return WriteWait::Closing;
  if (w != WAIT_OBJECT_0) return WriteWait::Pending;
  if (!GetOverlappedResult(p.h, &p.writeOv, count, FALSE)) *err = GetLastError();
  p.writePending = false;
  p.writeWatch = false;
  return WriteWait::Completed;
}

// Ends the pending write for a close, or a purge (of a write held past its time-out, or the monitor's end,
// which comes with a close): the only ways a write is cut. Counted, by `onClose` as a close's or a
// time-out's, when it had not completed. Returns false when the system still holds its record.
bool CutWrite(Port& p, bool onClose) {
  if (!p.writePending) return true;
  if (!p.writeCut && WaitForSingleObject(p.writeEvent, 0) != WAIT_OBJECT_0) {
    CancelIoEx(p.h, &p.writeOv);
    (onClose ? g_cutOnClose : g_cutOnTimeout).fetch_add(1);
    (onClose ? p.cutOnClose : p.cutOnTimeout).fetch_add(1);
    p.writeCut = true;
  }
  if (WaitForSingleObject(p.writeEvent, kCutWriteMs) != WAIT_OBJECT_0) return false;
  DWORD ignored = 0;
  GetOverlappedResult(p.h, &p.writeOv, &ignored, FALSE);
  p.writePending = false;
  p.writeWatch = false;
  return true;
}

// The failure of a write that the system took and then failed.
IoResult WriteFailed(Port& p, DWORD err) {
  if (IsGoneError(err)) {
    p.MarkGone();
    Fail(p.path, err, ErrorKind::Gone);
  } else {
    Fail(p.path, err);
  }
  return IoResult::Failed;
}

// Takes the port's transfer lock for a call that needs an open port, and a serial one unless `anyFile`.
// Returns no lock (the failure recorded) when the call cannot work on this handle.
std::unique_lock<std::mutex> LockOpen(const Handle& h, bool anyFile = false) {
  if (!h) {
    FailOn(h, ERROR_INVALID_HANDLE);
    return {};
  }
  std::unique_lock<std::mutex> lock(h->ioMutex);
  if (h->closed) {
    FailOn(h, ERROR_INVALID_HANDLE);
    return {};
  }
  if (h->disk && !anyFile) {
    FailOn(h, ERROR_INVALID_FUNCTION);
    return {};
  }
  return lock;
}

// A remote line behind a handle of its own; this thread's open notice says what its server left unanswered.
Handle OpenRemote(const std::string& name, bool wait) {
  std::unique_ptr<net::RemoteLine> line = net::OpenRemoteLine(name, wait);
  if (!line) return {};
  auto port = std::make_shared<Port>();
  port->path = line->Url();
  t_openNotice = line->TakeNotice();
  port->remote = std::move(line);
  return port;
}

}  // namespace

// ---- Open and close -----------------------------------------------------------------------------------

Handle CreateFile(const std::string& name, bool wait) {
  t_openNotice.clear();
  if (LooksLikeUrl(name)) return OpenRemote(name, wait);
  const std::string path = ResolvePortName(name);
  // No sharing: Windows refuses a second open of a port that is in use (error 5).
  HANDLE h = ::CreateFileW(detail::Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    Fail(path, GetLastError());
    return {};
  }
  auto port = std::make_shared<Port>();
  port->h = h;
  port->path = path;
  if (::GetFileType(h) == FILE_TYPE_DISK) {
    port->disk = true;
    return port;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(h, &dcb)) {
    // Something that opens but is no serial port (the NUL device; under Wine a port whose link leads
    // nowhere): for the technician, no serial device there.
    Fail(path, GetLastError(), ErrorKind::Missing);
    ::CloseHandle(h);
    port->h = INVALID_HANDLE_VALUE;
    return {};
  }
  return port;
}

// An adapter's latency timer is a setting of its Windows driver, out of our reach: only a remote line has
// something to say at open.
std::string TakeOpenNotice() {
  std::string notice;
  notice.swap(t_openNotice);
  return notice;
}

uint32_t GetFileType(const Handle& h) {
  if (Remote(h) && !h->closed) return FILE_TYPE_CHAR;
  if (Unusable(h)) {
    FailOn(h, ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
  }
  return h->disk ? FILE_TYPE_DISK : FILE_TYPE_CHAR;
}

bool CloseHandle(const Handle& h) {
  if (!h || h->closed.exchange(true)) return FailOn(h, ERROR_INVALID_HANDLE);
  if (Remote(h)) return h->remote->Close();
  // A write waiting out its time-out and the monitor's wait both end on this.
  SetEvent(h->closing);
  std::scoped_lock lock(h->ioMutex, h->monMutex);
  if (!CutWrite(*h, true)) {
    // The system still writes into the port's record and bytes: they stay alive for good (a few hundred
    // bytes, once), rather than be freed under it.
    static_cast<void>(new Handle(h));
  }
  // The port is abandoned: unsent output is dropped rather than left to hold the close.
  if (!h->disk) ::PurgeComm(h->h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  ::CloseHandle(h->h);
  h->h = INVALID_HANDLE_VALUE;
  return true;
}

// ---- Settings -----------------------------------------------------------------------------------------

bool SetupComm(const Handle& h, int32_t inQueue, int32_t outQueue) {
  if (Remote(h)) return h->remote->SetupQueues(inQueue, outQueue);
  const auto lock = LockOpen(h);
  if (!lock) return false;
  if (inQueue <= 0 || outQueue <= 0) return FailOn(h, ERROR_INVALID_PARAMETER);
  if (!::SetupComm(h->h, static_cast<DWORD>(inQueue), static_cast<DWORD>(outQueue))) {
    return Fail(h->path, GetLastError());
  }
  return true;
}

bool GetCommState(const Handle& h, Dcb* dcb) {
  if (Remote(h)) return h->remote->State(dcb);
  const auto lock = LockOpen(h);
  if (!lock) return false;
  DCB n{};
  n.DCBlength = sizeof n;
  if (!::GetCommState(h->h, &n)) {
    const DWORD err = GetLastError();
    if (IsGoneError(err)) h->MarkGone();
    return Fail(h->path, err);
  }
  *dcb = detail::FromNative(n);
  return true;
}

bool SetCommState(const Handle& h, const Dcb& dcb) {
  if (Remote(h)) return h->remote->SetState(dcb);
  const auto lock = LockOpen(h);
  if (!lock) return false;
  DCB base{};
  base.DCBlength = sizeof base;
  if (!::GetCommState(h->h, &base)) return Fail(h->path, GetLastError());
  DCB n = detail::ToNative(dcb, base);
  if (!::SetCommState(h->h, &n)) {
    return Fail(h->path + " (rate " + std::to_string(dcb.BaudRate) + ", " + std::to_string(dcb.ByteSize) +
                    " data bits)",
                GetLastError());
  }
  return true;
}

bool SetCommTimeouts(const Handle& h, const CommTimeouts& timeouts) {
  if (Remote(h)) return h->remote->SetTimeouts(timeouts);
  const auto lock = LockOpen(h);
  if (!lock) return false;
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
  t.ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
  t.ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
  // Writes keep their own time-out (WriteFile's argument); the driver's would only cut them short.
  if (!::SetCommTimeouts(h->h, &t)) return Fail(h->path, GetLastError());
  return true;
}

bool SetCommMask(const Handle& h, uint32_t mask) {
  if (Remote(h)) return h->remote->SetMask(mask);
  if (Unusable(h)) return FailOn(h, ERROR_INVALID_HANDLE);
  if (h->disk) return FailOn(h, ERROR_INVALID_FUNCTION);
  h->mask.store(mask);
  // Also ends a pending wait of the monitor, which then waits again with the new mask.
  if (!::SetCommMask(h->h, mask)) return Fail(h->path, GetLastError());
  return true;
}

bool EscapeCommFunction(const Handle& h, uint32_t func) {
  if (Remote(h)) return h->remote->Escape(func);
  const auto lock = LockOpen(h);
  if (!lock) return false;
  if (func != SETRTS && func != CLRRTS && func != SETDTR && func != CLRDTR) {
    return FailOn(h, ERROR_INVALID_PARAMETER);
  }
  if (!::EscapeCommFunction(h->h, func)) return Fail(h->path + " (modem lines)", GetLastError());
  return true;
}

// ---- Transfers ----------------------------------------------------------------------------------------

IoResult ReadFile(const Handle& h, void* data, uint32_t count, uint32_t* read) {
  if (Remote(h)) return h->remote->Read(data, count, read);
  *read = 0;
  const auto lock = LockOpen(h);
  if (!lock) return IoResult::Failed;
  if (count == 0 || h->gone) return IoResult::Done;
  // Only what is queued: an overlapped read of an empty queue may never complete (so it is under Wine),
  // whatever the time-outs say.
  DWORD lineErrors = 0;
  COMSTAT stat{};
  if (!::ClearCommError(h->h, &lineErrors, &stat)) {
    const DWORD err = GetLastError();
    if (IsGoneError(err)) {
      h->MarkGone();
      return IoResult::Done;
    }
    Fail(h->path, err);
    return IoResult::Failed;
  }
  h->errors.fetch_or(lineErrors);  // kept for the component's own ClearCommError
  const DWORD want = std::min<DWORD>(count, stat.cbInQue);
  if (want == 0) return IoResult::Done;
  OVERLAPPED ov{};
  ov.hEvent = h->ioEvent;
  ResetEvent(ov.hEvent);
  DWORD n = 0;
  bool ok = ::ReadFile(h->h, data, want, nullptr, &ov) != FALSE;
  DWORD err = ok ? 0 : GetLastError();
  if (ok || err == ERROR_IO_PENDING) {
    ok = FinishRead(*h, &ov, kReadCompleteMs, &n);
    err = ok ? 0 : GetLastError();
  }
  *read = n;
  if (ok || err == ERROR_OPERATION_ABORTED) return IoResult::Done;
  if (IsGoneError(err)) {
    h->MarkGone();
    return IoResult::Done;
  }
  Fail(h->path, err);
  return IoResult::Failed;
}

IoResult WriteFile(const Handle& h, const void* data, uint32_t count, uint32_t* written, uint32_t timeoutMs,
                   bool watchTxEmpty /*for a remote line: the system reports EV_TXEMPTY by itself*/) {
  if (Remote(h)) return h->remote->Write(data, count, written, timeoutMs, watchTxEmpty);
  *written = 0;
  const auto lock = LockOpen(h);
  if (!lock) return IoResult::Failed;
  if (count == 0) return IoResult::Done;
  if (h->gone) {
    Fail(h->path, ERROR_DEVICE_NOT_CONNECTED, ErrorKind::Gone);
    return IoResult::Failed;
  }
  Port& p = *h;
  const ULONGLONG start = GetTickCount64();
  DWORD n = 0, err = 0;
  // An earlier write still pending goes first: its record and bytes are not to be touched before it ends.
  switch (AwaitWrite(p, timeoutMs, &n, &err)) {
    case WriteWait::Pending:
      return IoResult::TimedOut;  // nothing of this write taken
    case WriteWait::Closing:
      FailOn(h, ERROR_INVALID_HANDLE);
      return IoResult::Failed;
    case WriteWait::Completed:
      // An earlier write that failed once pending is reported now, never passed over.
      if (err != 0) return WriteFailed(p, err);
      break;
  }
  const ULONGLONG spent = GetTickCount64() - start;
  const DWORD left = spent >= timeoutMs ? 0 : static_cast<DWORD>(timeoutMs - spent);
  const auto* bytes = static_cast<const uint8_t*>(data);
  p.writeData.assign(bytes, bytes + count);
  p.writeOv = OVERLAPPED{};
  p.writeOv.hEvent = p.writeEvent;
  ResetEvent(p.writeEvent);
  if (!::WriteFile(p.h, p.writeData.data(), count, nullptr, &p.writeOv)) {
    err = GetLastError();
    if (err != ERROR_IO_PENDING) return WriteFailed(p, err);
  }
  p.writePending = true;
  p.writeCut = false;
  switch (AwaitWrite(p, left, &n, &err)) {
    case WriteWait::Pending:
      // Not cancelled: a serial driver completes a write once its bytes have left the UART, which takes
      // count x 10 / baud seconds, and longer while the indicator holds the line with XOFF. The bytes go out;
      // the next write waits for them, and the monitor tells when they have.
      p.writeWatch = true;
      SetEvent(p.writeKick);
      return IoResult::TimedOut;
    case WriteWait::Closing:
      FailOn(h, ERROR_INVALID_HANDLE);
      return IoResult::Failed;
    case WriteWait::Completed:
      break;
  }
  *written = n;
  if (err != 0) return WriteFailed(p, err);
  // A driver that completed it short has dropped the rest, and nothing is pending that could still send it:
  // a write error, so that the protocol resends, rather than a pending write that never ends.
  return n == count ? IoResult::Done : WriteFailed(p, ERROR_WRITE_FAULT);
}

IoResult WaitWrite(const Handle& h, uint32_t timeoutMs) {
  if (Remote(h)) return h->remote->WaitWrite(timeoutMs);
  const auto lock = LockOpen(h);
  if (!lock) return IoResult::Failed;
  DWORD n = 0, err = 0;
  switch (AwaitWrite(*h, timeoutMs, &n, &err)) {
    case WriteWait::Pending:
      return IoResult::TimedOut;
    case WriteWait::Closing:
      FailOn(h, ERROR_INVALID_HANDLE);
      return IoResult::Failed;
    case WriteWait::Completed:
      break;
  }
  return err == 0 ? IoResult::Done : WriteFailed(*h, err);
}

TransferCancels CancelledTransfers() {
  return {g_cutOnTimeout.load(), g_cutOnClose.load() + net::RemoteLine::CutOnClose()};
}

TransferCancels CancelledTransfers(const Handle& h) {
  if (!h) return {};
  if (Remote(h)) return {0, h->remote->Cut()};
  return {h->cutOnTimeout.load(), h->cutOnClose.load()};
}

bool ClearCommError(const Handle& h, uint32_t* errors, ComStat* stat) {
  if (Remote(h)) return h->remote->ClearError(errors, stat);
  const auto lock = LockOpen(h, true);
  if (!lock) return false;
  DWORD native = 0;
  COMSTAT st{};
  if (!h->disk && !h->gone && !::ClearCommError(h->h, &native, &st)) {
    const DWORD err = GetLastError();
    if (!IsGoneError(err)) return Fail(h->path, err);
    h->MarkGone();
    st = COMSTAT{};
  }
  const uint32_t e = h->errors.exchange(0) | native;
  if (errors) *errors = e;
  if (stat) {
    stat->cbInQue = h->gone ? 0 : st.cbInQue;
    stat->cbOutQue = h->gone ? 0 : st.cbOutQue;
  }
  return true;
}

bool PurgeComm(const Handle& h, uint32_t flags) {
  if (Remote(h)) return h->remote->Purge(flags);
  const auto lock = LockOpen(h);
  if (!lock) return false;
  if ((flags & (PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) == 0) return true;
  // Aborting the output ends a pending write: the monitor's end asks for it with the port's close, and the
  // engine alone for a write held past its time-out where no indicator has answered.
  const bool rx = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
  if ((flags & PURGE_TXABORT) && !CutWrite(*h, rx)) return true;
  if (h->gone) return true;
  if (!::PurgeComm(h->h, flags)) return Fail(h->path, GetLastError());
  return true;
}

}  // namespace commos
