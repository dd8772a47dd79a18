// The communications calls in the page, over Web Serial (web_serial.js holds the lines): the open, which
// the browser finishes later, settings, transfers. Single-threaded: a call that waits (an open with `wait`,
// a write within its time-out) gives control back to the browser meanwhile (tk::web::WaitRoused).
#include <map>

#include "serial/PortName.h"
#include "serial/last_error.h"
#include "serial/web/port.h"
#include "toolkit/Clock.h"
#include "toolkit/web/BrowserWait.h"

namespace commos {

using detail::Fail;
using detail::FailClosed;
using detail::Unusable;

namespace {

// An open with `wait` waits at most this long for the browser (the JavaScript side bounds the open itself).
constexpr int64_t kOpenWaitMs = 5000;

uint64_t g_cutOnClose = 0;
uint64_t g_cutOnTimeout = 0;

// The opens the browser has not finished, or whose end nobody has taken yet, by the name they were asked by.
std::map<std::string, int>& Opening() {
  static std::map<std::string, int> opening;
  return opening;
}

// The last settings of each port: an open starts with them, so a port reopened at its rate needs no reopen.
std::map<int, Dcb>& LastState() {
  static std::map<int, Dcb> last;
  return last;
}

int64_t NowMs() {
  return tk::MonotonicUs() / 1000;
}

std::string NotOnThePage(const std::string& name) {
  return "\"" + name +
         "\" is no port of this page (its ports are web:0, web:1, ... in the order they were granted, "
         "or Com1, Com2, ...; " +
         std::to_string(brae_serial_count()) + " granted now)";
}

// The finished open of `name`: its handle, or its failure recorded. Either way the open is taken.
Handle TakeOpen(const std::string& name, int line, int index) {
  Opening().erase(name);
  if (brae_serial_state(line) != web::kOpen) {
    std::string reason;
    const int kind = detail::LineReason(line, &reason);
    brae_serial_close(line);
    detail::FailWith(web::NameOf(index), reason, kind);
    return {};
  }
  auto port = std::make_shared<Port>();
  port->line = line;
  port->index = index;
  port->name = web::NameOf(index);
  const auto last = LastState().find(index);
  if (last != LastState().end()) port->dcb = last->second;
  return port;
}

}  // namespace

uint32_t Port::Refresh() {
  if (closed) return 0;
  if (!gone && brae_serial_state(line) == web::kGone) {
    detail::LineReason(line, &goneText);
    gone = true;
    goneUnreported = true;
    errors |= CE_IOE;
  }
  const uint32_t lineErrors = brae_serial_take_line_errors(line);
  errors |= lineErrors;
  return lineErrors;
}

// ---- Open and close -----------------------------------------------------------------------------------

Handle CreateFile(const std::string& name, bool wait) {
  if (LooksLikeUrl(name)) {
    Fail(name, "a web page cannot reach a device server (remote ports need the Linux or Windows program)",
         ErrorKind::Other);
    return {};
  }
  const int index = web::IndexOf(ResolvePortName(name));
  if (index < 0 || index >= brae_serial_count()) {
    Fail(name, NotOnThePage(name), ErrorKind::Missing);
    return {};
  }
  int line = 0;
  if (const auto begun = Opening().find(name); begun != Opening().end()) {
    line = begun->second;
  } else {
    Dcb dcb;
    if (const auto last = LastState().find(index); last != LastState().end()) dcb = last->second;
    line = brae_serial_open(index, dcb.BaudRate, dcb.ByteSize, dcb.StopBits, dcb.Parity,
                            (dcb.Flags & fOutxCtsFlow) != 0);
    if (line == -2) {
      Fail(web::NameOf(index), "the port is open already", ErrorKind::Busy);
      return {};
    }
    if (line <= 0) {
      Fail(name, NotOnThePage(name), ErrorKind::Missing);
      return {};
    }
    Opening()[name] = line;
  }
  const int64_t deadline = NowMs() + kOpenWaitMs;
  while (brae_serial_state(line) == web::kOpening) {
    const int64_t left = deadline - NowMs();
    if (!wait || left <= 0) {
      Fail(web::NameOf(index),
           wait ? "the browser has not opened the port in time" : "the browser is opening the port",
           ErrorKind::Pending);
      return {};
    }
    tk::web::WaitRoused(static_cast<uint32_t>(left));
  }
  return TakeOpen(name, line, index);
}

void CancelOpen(const std::string& name) {
  const auto begun = Opening().find(name);
  if (begun == Opening().end()) return;
  brae_serial_close(begun->second);  // an open still going on closes the port again when it ends
  Opening().erase(begun);
}

bool OpenEnded(const std::string& name) {
  const auto begun = Opening().find(name);
  return begun == Opening().end() || brae_serial_state(begun->second) != web::kOpening;
}

uint32_t GetFileType(const Handle& h) {
  if (Unusable(h)) {
    FailClosed(h);
    return FILE_TYPE_UNKNOWN;
  }
  return FILE_TYPE_CHAR;
}

bool CloseHandle(const Handle& h) {
  if (Unusable(h)) return FailClosed(h);
  h->closed = true;
  if (!h->gone && brae_serial_unsent(h->line) > 0) {  // the one way a write is cut
    ++g_cutOnClose;
    ++h->cutOnClose;
  }
  brae_serial_close(h->line);
  return true;
}

// ---- Settings -----------------------------------------------------------------------------------------

bool SetupComm(const Handle& h, int32_t inQueue, int32_t outQueue) {
  if (Unusable(h)) return FailClosed(h);
  // The page's queues grow as needed; only nonsense sizes are refused.
  if (inQueue <= 0 || outQueue <= 0) return Fail(h->name, "queue sizes must be positive", ErrorKind::Other);
  return true;
}

bool GetCommState(const Handle& h, Dcb* dcb) {
  if (Unusable(h)) return FailClosed(h);
  *dcb = h->dcb;
  return true;
}

bool SetCommState(const Handle& h, const Dcb& dcb) {
  if (Unusable(h)) return FailClosed(h);
  // What Web Serial cannot do is refused, not approximated.
  const char* refusal = nullptr;
  if (dcb.ByteSize != 7 && dcb.ByteSize != 8) refusal = "Web Serial has only 7 and 8 data bits";
  if (dcb.Parity > 2) refusal = "Web Serial has no mark or space parity";
  if (dcb.StopBits == 1) refusal = "Web Serial has no one and a half stop bits";
  if ((dcb.Flags & fOutxDsrFlow) || (dcb.Flags & fDtrControlMask) == fDtrControlHandshake)
    refusal = "Web Serial has no DSR/DTR handshake";
  if (dcb.BaudRate == 0) refusal = "a rate of 0";
  if (refusal) return Fail(h->name + " (settings)", refusal, ErrorKind::Other);
  const bool hardware = (dcb.Flags & fOutxCtsFlow) || (dcb.Flags & fRtsControlMask) == fRtsControlHandshake;
  const bool dtr = (dcb.Flags & fDtrControlMask) == fDtrControlEnable;
  const bool rts = (dcb.Flags & fRtsControlMask) == fRtsControlEnable;
  // fInX needs nothing: the page's receive queue has no limit to hold the far side at.
  brae_serial_configure(h->line, dcb.BaudRate, dcb.ByteSize, dcb.StopBits, dcb.Parity, hardware,
                        (dcb.Flags & fOutX) != 0, static_cast<uint8_t>(dcb.XonChar),
                        static_cast<uint8_t>(dcb.XoffChar), dtr, rts);
  h->dcb = dcb;
  LastState()[h->index] = dcb;
  return true;
}

bool SetCommTimeouts(const Handle& h, const CommTimeouts& timeouts) {
  if (Unusable(h)) return FailClosed(h);
  h->timeouts = timeouts;
  return true;
}

bool SetCommMask(const Handle& h, uint32_t mask) {
  if (Unusable(h)) return FailClosed(h);
  h->mask = mask;
  return true;
}

bool EscapeCommFunction(const Handle& h, uint32_t func) {
  if (Unusable(h)) return FailClosed(h);
  const uint32_t flags = h->dcb.Flags;
  bool dtr = (flags & fDtrControlMask) == fDtrControlEnable;
  bool rts = (flags & fRtsControlMask) == fRtsControlEnable;
  switch (func) {
    case SETRTS:
    case CLRRTS:
      rts = func == SETRTS;
      h->dcb.Flags = (flags & ~fRtsControlMask) | (rts ? fRtsControlEnable : 0);
      break;
    case SETDTR:
    case CLRDTR:
      dtr = func == SETDTR;
      h->dcb.Flags = (flags & ~fDtrControlMask) | (dtr ? fDtrControlEnable : 0);
      break;
    default:
      return Fail(h->name, "no such escape function", ErrorKind::Other);
  }
  brae_serial_signals(h->line, dtr, rts);
  // The browser sets the lines asynchronously, within its own bound; an open still going on sets them later.
  char why[256] = {};
  int result = 0;
  while ((result = brae_serial_signals_result(h->line, why, sizeof why)) == 0 && !h->gone) {
    tk::web::WaitRoused(100);
    h->Refresh();
  }
  if (result < 0) return Fail(h->name + " (modem lines)", why, ErrorKind::Other);
  return true;
}

// ---- Transfers ----------------------------------------------------------------------------------------

IoResult ReadFile(const Handle& h, void* data, uint32_t count, uint32_t* read) {
  *read = 0;
  if (Unusable(h)) {
    FailClosed(h);
    return IoResult::Failed;
  }
  ++h->readSeq;
  // A vanished port reads nothing; its loss is told once, by the poll and ClearCommError.
  if (count > 0) *read = brae_serial_read(h->line, data, count);
  return IoResult::Done;
}

namespace {

// Waits until the browser has taken every byte written, or `deadline` (monotonic ms) has passed.
IoResult AwaitSent(Port& p, int64_t deadline) {
  for (;;) {
    p.Refresh();
    if (p.gone) {
      detail::FailGone(p);
      return IoResult::Failed;
    }
    if (brae_serial_unsent(p.line) == 0) return IoResult::Done;
    const int64_t left = deadline - NowMs();
    if (left <= 0) return IoResult::TimedOut;
    tk::web::WaitRoused(static_cast<uint32_t>(left));
  }
}

}  // namespace

IoResult WriteFile(const Handle& h, const void* data, uint32_t count, uint32_t* written, uint32_t timeoutMs,
                   bool watchTxEmpty) {
  *written = 0;
  if (Unusable(h)) {
    FailClosed(h);
    return IoResult::Failed;
  }
  Port& p = *h;
  const int64_t deadline = NowMs() + timeoutMs;
  // An earlier write's rest goes first; while it cannot, nothing of this one is taken.
  IoResult result = AwaitSent(p, deadline);
  if (result != IoResult::Done) return result;
  p.writeAwaited = false;
  if (count == 0) return IoResult::Done;
  brae_serial_write(p.line, data, count);
  if (watchTxEmpty && (p.mask & EV_TXEMPTY)) p.txPending = true;
  result = AwaitSent(p, deadline);
  const uint32_t unsent = brae_serial_unsent(p.line);
  *written = result == IoResult::Done ? count : count - (unsent < count ? unsent : count);
  // Not dropped: the rest stays pending and goes out as the line takes it; the poll tells its end.
  if (result == IoResult::TimedOut) p.writeAwaited = true;
  return result;
}

IoResult WaitWrite(const Handle& h, uint32_t timeoutMs) {
  if (Unusable(h)) {
    FailClosed(h);
    return IoResult::Failed;
  }
  const IoResult result = AwaitSent(*h, NowMs() + timeoutMs);
  if (result == IoResult::Done) h->writeAwaited = false;  // its writer has seen the end itself
  return result;
}

TransferCancels CancelledTransfers() {
  return {g_cutOnTimeout, g_cutOnClose};
}

TransferCancels CancelledTransfers(const Handle& h) {
  if (!h) return {};
  return {h->cutOnTimeout, h->cutOnClose};
}

bool ClearCommError(const Handle& h, uint32_t* errors, ComStat* stat) {
  if (Unusable(h)) return FailClosed(h);
  h->Refresh();
  if (errors) *errors = h->errors;
  h->errors = 0;
  if (stat) {
    stat->cbInQue = brae_serial_queued(h->line);
    stat->cbOutQue = h->gone ? 0 : brae_serial_unsent(h->line);
  }
  return true;
}

bool PurgeComm(const Handle& h, uint32_t flags) {
  if (Unusable(h)) return FailClosed(h);
  const bool rx = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
  const bool tx = flags & (PURGE_TXABORT | PURGE_TXCLEAR);
  if (!rx && !tx) return true;
  ++h->readSeq;
  if (rx) brae_serial_purge_rx(h->line);
  // What the browser is writing already goes out; the rest is dropped.
  if ((flags & PURGE_TXABORT) && brae_serial_drop_unsent(h->line) > 0) {
    ++(rx ? g_cutOnClose : g_cutOnTimeout);
    ++(rx ? h->cutOnClose : h->cutOnTimeout);
  }
  return true;
}

std::string TakeOpenNotice() {
  return std::string();
}

}  // namespace commos
