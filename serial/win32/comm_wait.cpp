// The monitor's wait: an overlapped WaitCommEvent, waited on together with the owner's stop event, the port's
// closing and a device found gone elsewhere. Setting the mask again is what ends a pending wait (Wine cannot
// cancel one), and the wait must have ended before its OVERLAPPED leaves this frame. No poll: see
// PollCommEvent.
#include "serial/last_error.h"
#include "serial/win32/port.h"

namespace commos {

namespace {

// After a wait that ended without events for no reason of ours, the next one starts a little later, so a
// driver that keeps ending waits at once cannot turn the monitor into a busy loop.
constexpr DWORD kEmptyWaitPauseMs = 10;
// How long a wait may take to end after the mask was set, before it is cancelled as well.
constexpr DWORD kEndWaitMs = 1000;
// Not every driver ends a pending wait when its device goes (Wine does, with 995 and no events): a query this
// often finds out.
constexpr DWORD kProbeMs = 250;

// Ends the pending wait and returns once the system is done with `ov`.
void EndWait(Port& p, OVERLAPPED* ov) {
  ::SetCommMask(p.h, p.mask.load());
  if (WaitForSingleObject(ov->hEvent, kEndWaitMs) != WAIT_OBJECT_0) CancelIoEx(p.h, ov);
  DWORD ignored = 0;
  GetOverlappedResult(p.h, ov, &ignored, TRUE);
}

// A wait that ended with no event: under Wine that is also how an unplug shows. A query tells which.
void CheckStillThere(Port& p) {
  DWORD errors = 0;
  COMSTAT stat{};
  if (::ClearCommError(p.h, &errors, &stat)) {
    p.errors.fetch_or(errors);  // kept for the component's own ClearCommError
  } else if (detail::IsGoneError(GetLastError())) {
    p.MarkGone();
  }
}

}  // namespace

bool WaitCommEvent(const Handle& h, uint32_t* mask, const WaitableEvent& wake) {
  *mask = 0;
  if (!h) return detail::FailOn(h, ERROR_INVALID_HANDLE);
  if (detail::Remote(h)) return h->remote->WaitEvent(mask, wake);
  Port& p = *h;
  std::unique_lock<std::mutex> lock(p.monMutex);
  bool pause = false;
  for (;;) {
    if (p.closed || p.disk) {
      lock.unlock();
      // Nothing more will happen on this handle: wait for the owner to stop us, without spinning.
      wake.Wait(50);
      return detail::FailOn(h, p.disk ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
    }
    if (wake.IsSet()) return detail::FailOn(h, ERROR_OPERATION_ABORTED);
    if (p.gone) {
      if ((p.mask.load() & EV_ERR) && p.goneUnreported.exchange(false)) {
        *mask = EV_ERR;
        return true;
      }
      // The device will not come back on this handle: only the owner or the close can end this.
      HANDLE waits[] = {wake.Native(), p.closing};
      WaitForMultipleObjects(2, waits, FALSE, INFINITE);
      continue;
    }
    if (pause) {
      HANDLE waits[] = {wake.Native(), p.closing};
      WaitForMultipleObjects(2, waits, FALSE, kEmptyWaitPauseMs);
      pause = false;
      continue;
    }

    OVERLAPPED ov{};
    ov.hEvent = p.waitEvent;
    ResetEvent(ov.hEvent);
    DWORD events = 0;
    bool ok = ::WaitCommEvent(p.h, &events, &ov) != FALSE;
    DWORD err = ok ? 0 : GetLastError();
    bool interrupted = false;
    bool writeEnded = false;
    if (!ok && err == ERROR_IO_PENDING) {
      // The last two only while a write is pending that nobody has seen end.
      HANDLE waits[] = {ov.hEvent, wake.Native(), p.closing, p.kick, p.writeKick, p.writeEvent};
      DWORD woken;
      for (;;) {
        woken = WaitForMultipleObjects(p.writeWatch ? 6 : 5, waits, FALSE, kProbeMs);
        if (woken == WAIT_OBJECT_0 + 4) continue;  // a write went pending: watch it as well
        if (woken != WAIT_TIMEOUT) break;
        CheckStillThere(p);
        if (p.gone) break;
      }
      if (woken == WAIT_OBJECT_0 + 5) writeEnded = p.writeWatch.exchange(false);
      if (woken != WAIT_OBJECT_0) {
        interrupted = true;
        EndWait(p, &ov);
      }
      DWORD ignored = 0;
      ok = GetOverlappedResult(p.h, &ov, &ignored, TRUE) != FALSE;
      err = ok ? 0 : GetLastError();
    }
    if (writeEnded || (ok && events != 0)) {
      *mask = (ok ? events : 0) | (writeEnded ? EV_WRITEDONE : 0);
      return true;
    }
    if (interrupted) continue;  // the loop's head tells why
    if (ok || err == ERROR_OPERATION_ABORTED) {
      // No event: the mask was set anew, or the wait was ended from outside.
      CheckStillThere(p);
      pause = true;
      continue;
    }
    // Any other failure of the wait itself: the device is gone.
    p.MarkGone();
  }
}

bool PollCommEvent(const Handle& h, uint32_t* mask) {
  *mask = 0;
  if (detail::Remote(h)) return h->remote->PollEvent(mask);
  // An overlapped wait cannot be asked without starting one: the Windows monitor has a thread that waits.
  return detail::Record(h ? h->path : std::string("serial port"),
                        "a Windows serial port is watched by its monitor thread's wait, not polled",
                        ErrorKind::Other, "");
}

}  // namespace commos
