// What has happened on a line in the page, without waiting (PollCommEvent, what the single-threaded
// runtime's monitor turn asks), and the monitor's wait built on it, which gives control back to the browser.
#include "serial/web/port.h"
#include "toolkit/web/BrowserWait.h"

namespace commos {

namespace {

// Without a rouse, the wait looks again this often (a wake event set by code the page calls meanwhile).
constexpr uint32_t kLookMs = 50;

}  // namespace

bool PollCommEvent(const Handle& h, uint32_t* mask) {
  *mask = 0;
  if (detail::Unusable(h)) return detail::FailClosed(h);
  Port& p = *h;
  const uint32_t lineErrors = p.Refresh();
  const uint32_t m = p.mask;
  uint32_t events = 0;
  if ((m & EV_ERR) && p.goneUnreported) {
    p.goneUnreported = false;
    events |= EV_ERR;
  }
  const uint32_t unsent = p.gone ? 0 : brae_serial_unsent(p.line);
  // Its writer waits for this, not looking itself.
  if (p.writeAwaited && unsent == 0) {
    p.writeAwaited = false;
    events |= EV_WRITEDONE;
  }
  if (!p.gone) {
    if (lineErrors) {
      if ((lineErrors & CE_BREAK) && (m & EV_BREAK)) events |= EV_BREAK;
      if (m & EV_ERR) events |= EV_ERR;
    }
    const uint32_t inq = brae_serial_queued(p.line);
    if ((m & EV_RXCHAR) && inq > 0 && (p.readSeq != p.seqAtReport || inq > p.inqAtReport)) {
      events |= EV_RXCHAR;
      p.seqAtReport = p.readSeq;
      p.inqAtReport = inq;
    }
    if ((m & EV_TXEMPTY) && p.txPending && unsent == 0) {
      p.txPending = false;
      events |= EV_TXEMPTY;
    }
  }
  *mask = events;
  return events != 0;
}

bool WaitCommEvent(const Handle& h, uint32_t* mask, const WaitableEvent& wake) {
  *mask = 0;
  for (;;) {
    if (wake.IsSet())
      return detail::Fail(h ? h->name : "serial port", "the wait was ended", ErrorKind::Other);
    if (PollCommEvent(h, mask)) return true;
    if (detail::Unusable(h)) {
      // Nothing more will happen on this handle: wait for the owner to stop us, without spinning.
      wake.Wait(static_cast<int>(kLookMs));
      return detail::FailClosed(h);
    }
    tk::web::WaitRoused(kLookMs);
  }
}

}  // namespace commos
