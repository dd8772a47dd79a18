// The monitor's wait: what has happened on the line, and sleeping until something might have; and the same
// look without the sleep (PollCommEvent), for a monitor that runs in turns.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "serial/posix/port.h"

namespace commos {

namespace {

// Poll intervals for what the kernel cannot wake us for.
constexpr int kStaleRxPollMs = 20;  // bytes queued that nobody has read: watch for more
constexpr int kTxEmptyPollMs = 2;   // output written: watch for the queue to drain
constexpr int kLinePollMs = 25;     // modem lines and line-error counters of a real serial device

// What has happened on the line since the last look; 0 when nothing.
uint32_t LineEvents(Port& p, uint32_t mask, int inq) {
  uint32_t events = 0;
  if ((mask & EV_ERR) && p.goneUnreported.exchange(false)) events |= EV_ERR;
  if (p.writeEnded.exchange(false)) events |= EV_WRITEDONE;
  if (p.gone) return events;
  if (mask & EV_RXCHAR) {
    const uint64_t seq = p.readSeq.load();
    if (inq > 0 && (seq != p.seqAtReport || inq > p.inqAtReport)) {
      events |= EV_RXCHAR;
      p.seqAtReport = seq;
      p.inqAtReport = inq;
    }
  }
  if ((mask & EV_TXEMPTY) && p.txPending) {
    int out = 0;
    if (ioctl(p.fd, TIOCOUTQ, &out) != 0 || out == 0) {
      p.txPending = false;
      events |= EV_TXEMPTY;
    }
  }
  if (p.modemOk && (mask & (EV_CTS | EV_DSR | EV_RLSD | EV_RING))) {
    int bits = 0;
    if (ioctl(p.fd, TIOCMGET, &bits) == 0) {
      if (p.modemLast >= 0) {
        const int changed = bits ^ p.modemLast;
        if ((changed & TIOCM_CTS) && (mask & EV_CTS)) events |= EV_CTS;
        if ((changed & TIOCM_DSR) && (mask & EV_DSR)) events |= EV_DSR;
        if ((changed & TIOCM_CD) && (mask & EV_RLSD)) events |= EV_RLSD;
        // A ring indication is reported at its trailing edge.
        if ((p.modemLast & TIOCM_RI) && !(bits & TIOCM_RI) && (mask & EV_RING)) events |= EV_RING;
      }
      p.modemLast = bits;
    }
  }
  if (p.icountOk && (mask & (EV_BREAK | EV_ERR))) {
    serial_icounter_struct ic{};
    if (ioctl(p.fd, TIOCGICOUNT, &ic) == 0) {
      uint32_t ce = 0;
      if (ic.brk != p.icountLast.brk) ce |= CE_BREAK;
      if (ic.frame != p.icountLast.frame) ce |= CE_FRAME;
      if (ic.overrun != p.icountLast.overrun) ce |= CE_OVERRUN;
      if (ic.parity != p.icountLast.parity) ce |= CE_RXPARITY;
      if (ic.buf_overrun != p.icountLast.buf_overrun) ce |= CE_RXOVER;
      p.icountLast = ic;
      if (ce) {
        p.errors.fetch_or(ce);
        if ((ce & CE_BREAK) && (mask & EV_BREAK)) events |= EV_BREAK;
        if (mask & EV_ERR) events |= EV_ERR;
      }
    }
  }
  return events;
}

// The bytes queued, as the kernel tells (0 once the device has gone; EIO is how it goes).
int QueuedBytes(Port& p) {
  int inq = 0;
  if (!p.gone && ioctl(p.fd, FIONREAD, &inq) != 0) {
    if (errno == EIO) p.MarkGone();
    inq = 0;
  }
  return inq;
}

// The line counters' values to compare with from now on.
void Prime(Port& p) {
  if (p.icountOk) ioctl(p.fd, TIOCGICOUNT, &p.icountLast);
}

// The device's entry in the poll set, and the poll's time-out, for a watch on mask m with inq bytes queued.
pollfd Watch(const Port& p, uint32_t m, int inq, int* timeout) {
  pollfd device{p.fd, 0, 0};
  *timeout = -1;
  if (p.gone) {
    device.fd = -1;  // a vanished device would report its hang-up forever: stop watching it
    return device;
  }
  if ((m & EV_RXCHAR) && inq == 0) device.events = POLLIN;
  // A write whose wait ran out: its rest goes out as the kernel makes room, as a driver's would.
  if (p.outWaiting) device.events |= POLLOUT;
  if ((m & EV_RXCHAR) && inq > 0) *timeout = kStaleRxPollMs;
  if ((m & EV_TXEMPTY) && p.txPending)
    *timeout = *timeout < 0 ? kTxEmptyPollMs : std::min(*timeout, kTxEmptyPollMs);
  if ((p.modemOk && (m & (EV_CTS | EV_DSR | EV_RLSD | EV_RING))) ||
      (p.icountOk && (m & (EV_BREAK | EV_ERR)))) {
    *timeout = *timeout < 0 ? kLinePollMs : std::min(*timeout, kLinePollMs);
  }
  return device;
}

// What the device's poll entry showed: a hang-up (the device has gone), room for a pending write's rest.
// False when a writer is at work on the line (it pushes the rest itself).
bool TakeIn(Port& p, short revents) {
  if (revents & (POLLHUP | POLLERR | POLLNVAL)) p.MarkGone();
  if (!(revents & POLLOUT) || !p.outWaiting) return true;
  std::unique_lock<std::mutex> io(p.ioMutex, std::try_to_lock);
  if (!io.owns_lock()) return false;
  // Its writer waits for this, not looking itself.
  if (!p.closed && p.outWaiting && detail::PushPending(p) != IoResult::TimedOut) p.writeEnded = true;
  return true;
}

}  // namespace

bool WaitCommEvent(const Handle& h, uint32_t* mask, const WaitableEvent& wake) {
  *mask = 0;
  if (!h) return detail::FailOn(h, EBADF);
  if (detail::Remote(h)) return h->remote->WaitEvent(mask, wake);
  Port& p = *h;
  std::unique_lock<std::mutex> lock(p.monMutex);
  bool primed = false;  // the line counters have been read once since this wait began
  for (;;) {
    if (p.closed || p.disk) {
      lock.unlock();
      // Nothing more will happen on this handle: wait for the owner to stop us, without spinning.
      wake.Wait(50);
      return detail::FailOn(h, p.disk ? ENOTTY : EBADF);
    }
    if (wake.IsSet()) return detail::FailOn(h, ECANCELED);
    const uint32_t m = p.mask.load();
    const int inq = QueuedBytes(p);
    if (!primed) {
      primed = true;
      Prime(p);
    }
    if (const uint32_t events = LineEvents(p, m, inq)) {
      *mask = events;
      return true;
    }
    int timeout = -1;
    pollfd fds[3] = {Watch(p, m, inq, &timeout), {wake.Native(), POLLIN, 0}, {p.wakeFd, POLLIN, 0}};
    const int r = ::poll(fds, 3, timeout);
    if (r < 0 && errno != EINTR) return detail::Fail(p.path, errno);
    if (fds[2].revents & POLLIN) p.DrainWake();
    // A write or a wait for it is at work on the line: it pushes the rest itself.
    if (!TakeIn(p, fds[0].revents)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool PollCommEvent(const Handle& h, uint32_t* mask) {
  *mask = 0;
  if (!h) return detail::FailOn(h, EBADF);
  if (detail::Remote(h)) return h->remote->PollEvent(mask);
  Port& p = *h;
  std::lock_guard<std::mutex> lock(p.monMutex);
  if (p.closed || p.disk) return detail::FailOn(h, p.disk ? ENOTTY : EBADF);
  if (!p.pollPrimed) {
    p.pollPrimed = true;
    Prime(p);
  }
  // The wait's round with a poll that does not wait: what the device shows, then what has happened.
  const uint32_t m = p.mask.load();
  int timeout = -1;
  pollfd device = Watch(p, m, QueuedBytes(p), &timeout);
  if (device.fd >= 0 && ::poll(&device, 1, 0) > 0) TakeIn(p, device.revents);
  *mask = LineEvents(p, m, QueuedBytes(p));
  return *mask != 0;
}

}  // namespace commos
