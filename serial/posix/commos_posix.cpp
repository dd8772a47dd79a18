// The communications calls on POSIX terminals (termios and ioctls): open and close, settings, transfers.
// Port names, errors, the waitable event and the monitor's wait live beside this file.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "serial/PortName.h"
#include "serial/net/RemoteOpen.h"
#include "serial/posix/custom_baud.h"
#include "serial/posix/low_latency.h"
#include "serial/posix/port.h"
#include "serial/posix/termios_map.h"
#include "toolkit/Clock.h"

namespace commos {

using detail::Fail;
using detail::FailOn;
using detail::Remote;
using detail::Unusable;

// ---- Open and close -----------------------------------------------------------------------------------

namespace {

// Writes cut short: closing the port drops a pending write's rest, and so does purging the output of a write
// held past its time-out; a wait that runs out never does.
std::atomic<uint64_t> g_cutOnClose{0};
std::atomic<uint64_t> g_cutOnTimeout{0};

// Exclusive use, as on Windows. TIOCEXCL does not stop root from opening the port twice; the lock does,
// between programs that take it. On failure nothing is left held.
bool TakeExclusive(int fd, const std::string& path) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return Fail(path, errno == EWOULDBLOCK ? EBUSY : errno);
  if (ioctl(fd, TIOCEXCL) != 0 && errno != EINVAL && errno != ENOTTY) {
    const int err = errno;
    flock(fd, LOCK_UN);
    return Fail(path, err);
  }
  return true;
}

// Raw bytes, no modem control, reads that return at once with what is queued.
void MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
  }
}

// What the monitor can watch on this device beyond its data.
void ProbeLines(Port& port) {
  int bits = 0;
  port.modemOk = ioctl(port.fd, TIOCMGET, &bits) == 0;
  serial_icounter_struct ic{};
  port.icountOk = ioctl(port.fd, TIOCGICOUNT, &ic) == 0;
}

// A remote line behind a handle of its own; this thread's open notice says what its server left unanswered.
Handle OpenRemote(const std::string& name, bool wait) {
  detail::SetOpenNotice(std::string());
  std::unique_ptr<net::RemoteLine> line = net::OpenRemoteLine(name, wait);
  if (!line) return {};
  auto port = std::make_shared<Port>();
  port->path = line->Url();
  detail::SetOpenNotice(line->TakeNotice());
  port->remote = std::move(line);
  return port;
}

}  // namespace

// The open path, step by step; a failed step closes the descriptor and leaves the reason as the last error.
Handle CreateFile(const std::string& name, bool wait) {
  if (LooksLikeUrl(name)) return OpenRemote(name, wait);
  const std::string path = ResolvePortName(name);
  if (path.empty()) {
    Fail(name + " (this machine has no serial device with that number)", ENOENT);
    return {};
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    Fail(path, errno);
    return {};
  }
  auto refuse = [fd](const std::string& what, int err) {
    Fail(what, err);
    ::close(fd);
    return Handle{};
  };
  struct stat st {};
  if (fstat(fd, &st) != 0) return refuse(path, errno);
  auto port = std::make_shared<Port>();
  port->path = path;
  port->fd = fd;
  if (S_ISREG(st.st_mode)) {
    port->disk = true;
    return port;
  }
  if (!isatty(fd)) return refuse(path, ENOTTY);
  if (!TakeExclusive(fd, path)) {
    ::close(fd);
    return {};
  }
  MakeRaw(fd);
  port->lowLatency = lowlat::OnOpen(fd, path);
  port->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ProbeLines(*port);
  return port;
}

uint32_t GetFileType(const Handle& h) {
  if (Remote(h) && !h->closed) return FILE_TYPE_CHAR;
  if (Unusable(h)) {
    FailOn(h, EBADF);
    return FILE_TYPE_UNKNOWN;
  }
  return h->disk ? FILE_TYPE_DISK : FILE_TYPE_CHAR;
}

bool CloseHandle(const Handle& h) {
  if (!h || h->closed.exchange(true)) return FailOn(h, EBADF);
  if (Remote(h)) return h->remote->Close();
  h->Wake();
  std::scoped_lock lock(h->ioMutex, h->monMutex);
  if (!h->disk) {
    // Unsent output would otherwise hold close() for up to 30 s; the port is abandoned, so drop both queues.
    tcflush(h->fd, TCIOFLUSH);
    lowlat::OnClose(h->fd, h->lowLatency);
    ioctl(h->fd, TIOCNXCL);
    flock(h->fd, LOCK_UN);
  }
  if (h->outSent < h->outPending.size()) {  // the one way a write is cut
    g_cutOnClose.fetch_add(1);
    h->cutOnClose.fetch_add(1);
  }
  h->outPending.clear();
  h->outSent = 0;
  h->outWaiting = false;
  ::close(h->fd);
  h->fd = -1;
  if (h->wakeFd >= 0) ::close(h->wakeFd);
  h->wakeFd = -1;
  return true;
}

// ---- Settings -----------------------------------------------------------------------------------------

bool SetupComm(const Handle& h, int32_t inQueue, int32_t outQueue) {
  if (Remote(h)) return h->remote->SetupQueues(inQueue, outQueue);
  if (Unusable(h)) return FailOn(h, EBADF);
  if (h->disk) return FailOn(h, ENOTTY);
  // The kernel's queues have a fixed size; only nonsense sizes are refused.
  if (inQueue <= 0 || outQueue <= 0) return FailOn(h, EINVAL);
  return true;
}

bool GetCommState(const Handle& h, Dcb* dcb) {
  if (Remote(h)) return h->remote->State(dcb);
  if (Unusable(h)) return FailOn(h, EBADF);
  if (h->disk) return FailOn(h, ENOTTY);
  std::lock_guard<std::mutex> lock(h->ioMutex);
  *dcb = h->dcb;
  return true;
}

bool SetCommState(const Handle& h, const Dcb& dcb) {
  if (Remote(h)) return h->remote->SetState(dcb);
  if (!h) return FailOn(h, EBADF);
  std::lock_guard<std::mutex> lock(h->ioMutex);
  if (h->closed) return FailOn(h, EBADF);
  if (h->disk) return FailOn(h, ENOTTY);
  termios base{};
  if (tcgetattr(h->fd, &base) != 0) return Fail(h->path, errno);
  const detail::TermiosPlan plan = detail::BuildTermios(dcb, base);
  if (!plan.ok) return Fail(h->path, EINVAL);
  if (tcsetattr(h->fd, TCSANOW, &plan.tio) != 0) return Fail(h->path, errno);
  if (plan.customBaud ? !detail::SetCustomBaud(h->fd, dcb.BaudRate)
                      : detail::GetBaud(h->fd) != dcb.BaudRate && detail::GetBaud(h->fd) != 0) {
    return Fail(h->path + " (rate " + std::to_string(dcb.BaudRate) + ")", EINVAL);
  }
  if (h->modemOk) {
    // The lines the block asks for; a handshake line is left to the driver (RTS) or raised (DTR, which Linux
    // cannot hand over to the driver).
    int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    ioctl(h->fd, plan.setDtr ? TIOCMBIS : TIOCMBIC, &dtr);
    if ((dcb.Flags & fRtsControlMask) != fRtsControlHandshake)
      ioctl(h->fd, plan.setRts ? TIOCMBIS : TIOCMBIC, &rts);
  }
  h->dcb = dcb;
  return true;
}

bool SetCommTimeouts(const Handle& h, const CommTimeouts& timeouts) {
  if (Remote(h)) return h->remote->SetTimeouts(timeouts);
  if (!h) return FailOn(h, EBADF);
  std::lock_guard<std::mutex> lock(h->ioMutex);
  if (h->closed) return FailOn(h, EBADF);
  if (h->disk) return FailOn(h, ENOTTY);
  h->timeouts = timeouts;
  return true;
}

bool SetCommMask(const Handle& h, uint32_t mask) {
  if (Remote(h)) return h->remote->SetMask(mask);
  if (Unusable(h)) return FailOn(h, EBADF);
  if (h->disk) return FailOn(h, ENOTTY);
  h->mask.store(mask);
  h->Wake();
  return true;
}

bool EscapeCommFunction(const Handle& h, uint32_t func) {
  if (Remote(h)) return h->remote->Escape(func);
  if (!h) return FailOn(h, EBADF);
  std::lock_guard<std::mutex> lock(h->ioMutex);
  if (h->closed) return FailOn(h, EBADF);
  if (h->disk) return FailOn(h, ENOTTY);
  int bits = 0;
  unsigned long request = 0;
  switch (func) {
    case SETRTS:
      bits = TIOCM_RTS, request = TIOCMBIS;
      break;
    case CLRRTS:
      bits = TIOCM_RTS, request = TIOCMBIC;
      break;
    case SETDTR:
      bits = TIOCM_DTR, request = TIOCMBIS;
      break;
    case CLRDTR:
      bits = TIOCM_DTR, request = TIOCMBIC;
      break;
    default:
      return FailOn(h, EINVAL);
  }
  if (ioctl(h->fd, request, &bits) != 0) return Fail(h->path + " (modem lines)", errno);
  return true;
}

// ---- Transfers ----------------------------------------------------------------------------------------

IoResult ReadFile(const Handle& h, void* data, uint32_t count, uint32_t* read) {
  if (Remote(h)) return h->remote->Read(data, count, read);
  *read = 0;
  if (!h) {
    FailOn(h, EBADF);
    return IoResult::Failed;
  }
  std::lock_guard<std::mutex> lock(h->ioMutex);
  if (h->closed) {
    FailOn(h, EBADF);
    return IoResult::Failed;
  }
  h->readSeq.fetch_add(1);
  if (count == 0 || h->gone) return IoResult::Done;
  const ssize_t n = ::read(h->fd, data, count);
  if (n > 0) {
    *read = static_cast<uint32_t>(n);
    return IoResult::Done;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return IoResult::Done;
  if (h->disk) {
    if (n == 0) return IoResult::Done;
    Fail(h->path, errno);
    return IoResult::Failed;
  }
  if (n == 0) {
    // In raw mode with VMIN = VTIME = 0 an empty queue also reads 0: only a hang-up means the device is gone.
    pollfd p{h->fd, 0, 0};
    if (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLHUP | POLLERR | POLLNVAL))) return IoResult::Done;
  }
  // A hang-up or EIO on a terminal: the device is gone. The monitor reports it once; reads then find nothing.
  h->MarkGone();
  return IoResult::Done;
}

namespace {

int64_t NowMs() {
  return tk::MonotonicUs() / 1000;
}

IoResult WriteFailed(Port& p, int err) {
  p.outPending.clear();
  p.outSent = 0;
  p.outWaiting = false;
  if (!p.disk && (err == EIO || err == ENXIO || err == EPIPE)) {
    p.MarkGone();
    Fail(p.path, err, ErrorKind::Gone);
  } else {
    Fail(p.path, err);
  }
  return IoResult::Failed;
}

// Hands the pending write to the kernel until it is all taken or `deadline` (monotonic ms) has passed.
IoResult DrainPending(Port& p, int64_t deadline) {
  for (;;) {
    const IoResult r = detail::PushPending(p);
    if (r != IoResult::TimedOut) return r;
    // The kernel has no room (flow control holds the line, or it is slow): wait for room.
    const int64_t left = deadline - NowMs();
    if (left <= 0) return IoResult::TimedOut;
    pollfd pf{p.fd, POLLOUT, 0};
    const int r2 = ::poll(&pf, 1, static_cast<int>(std::min<int64_t>(left, 1000)));
    if (r2 > 0 && (pf.revents & (POLLHUP | POLLERR | POLLNVAL))) return WriteFailed(p, EIO);
  }
}

}  // namespace

IoResult detail::PushPending(Port& p) {
  while (p.outSent < p.outPending.size()) {
    const ssize_t n = ::write(p.fd, p.outPending.data() + p.outSent, p.outPending.size() - p.outSent);
    if (n > 0) {
      p.outSent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return IoResult::TimedOut;
    return WriteFailed(p, n < 0 ? errno : EIO);
  }
  p.outPending.clear();
  p.outSent = 0;
  p.outWaiting = false;
  return IoResult::Done;
}

IoResult WriteFile(const Handle& h, const void* data, uint32_t count, uint32_t* written, uint32_t timeoutMs,
                   bool watchTxEmpty) {
  if (Remote(h)) return h->remote->Write(data, count, written, timeoutMs, watchTxEmpty);
  *written = 0;
  if (!h) {
    FailOn(h, EBADF);
    return IoResult::Failed;
  }
  std::lock_guard<std::mutex> lock(h->ioMutex);
  if (h->closed) {
    FailOn(h, EBADF);
    return IoResult::Failed;
  }
  Port& p = *h;
  const int64_t deadline = NowMs() + timeoutMs;
  // An earlier write's rest goes first; while it cannot, nothing of this one is taken.
  IoResult result = DrainPending(p, deadline);
  if (result != IoResult::Done) return result;
  if (count == 0) return IoResult::Done;
  const auto* bytes = static_cast<const uint8_t*>(data);
  p.outPending.assign(bytes, bytes + count);
  p.outSent = 0;
  result = DrainPending(p, deadline);
  *written = result == IoResult::Done ? count : static_cast<uint32_t>(p.outSent);
  if (result == IoResult::TimedOut) {
    // Not dropped: the rest stays pending and goes out as the line takes it (the monitor pushes it).
    p.outWaiting = true;
    p.Wake();
  }
  if (watchTxEmpty && *written > 0 && (p.mask.load() & EV_TXEMPTY)) {
    p.txPending.store(true);
    p.Wake();
  }
  return result;
}

IoResult WaitWrite(const Handle& h, uint32_t timeoutMs) {
  if (Remote(h)) return h->remote->WaitWrite(timeoutMs);
  if (!h) {
    FailOn(h, EBADF);
    return IoResult::Failed;
  }
  std::lock_guard<std::mutex> lock(h->ioMutex);
  if (h->closed) {
    FailOn(h, EBADF);
    return IoResult::Failed;
  }
  return DrainPending(*h, NowMs() + timeoutMs);
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
  if (!h) return FailOn(h, EBADF);
  std::lock_guard<std::mutex> lock(h->ioMutex);
  if (h->closed) return FailOn(h, EBADF);
  const uint32_t e = h->errors.exchange(0);
  if (errors) *errors = e;
  if (stat) {
    int in = 0, out = 0;
    if (h->gone || ioctl(h->fd, FIONREAD, &in) != 0) in = 0;
    if (h->gone || ioctl(h->fd, TIOCOUTQ, &out) != 0) out = 0;
    stat->cbInQue = static_cast<uint32_t>(std::max(in, 0));
    stat->cbOutQue =
        static_cast<uint32_t>(std::max(out, 0)) + static_cast<uint32_t>(h->outPending.size() - h->outSent);
  }
  return true;
}

bool PurgeComm(const Handle& h, uint32_t flags) {
  if (Remote(h)) return h->remote->Purge(flags);
  if (!h) return FailOn(h, EBADF);
  std::lock_guard<std::mutex> lock(h->ioMutex);
  if (h->closed) return FailOn(h, EBADF);
  if (h->disk) return FailOn(h, ENOTTY);
  const bool rx = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
  const bool tx = flags & (PURGE_TXABORT | PURGE_TXCLEAR);
  if (!rx && !tx) return true;
  h->readSeq.fetch_add(1);
  if ((flags & PURGE_TXABORT) && h->outSent < h->outPending.size()) {
    (rx ? g_cutOnClose : g_cutOnTimeout).fetch_add(1);
    (rx ? h->cutOnClose : h->cutOnTimeout).fetch_add(1);
    h->outPending.clear();
    h->outSent = 0;
    h->outWaiting = false;
  }
  if (tcflush(h->fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0) return Fail(h->path, errno);
  return true;
}

}  // namespace commos
