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
#include <cerrno>

#include "serial/posix/custom_baud.h"
#include "serial/posix/low_latency.h"
#include "serial/posix/port.h"
#include "serial/posix/termios_map.h"

namespace commos {

using detail::Fail;
using detail::FailOn;
using detail::Unusable;

// ---- Open and close -----------------------------------------------------------------------------------

namespace {

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

}  // namespace

// The open path, step by step; a failed step closes the descriptor and leaves the reason as the last error.
Handle CreateFile(const std::string& name) {
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
  if (Unusable(h)) {
    FailOn(h, EBADF);
    return FILE_TYPE_UNKNOWN;
  }
  return h->disk ? FILE_TYPE_DISK : FILE_TYPE_CHAR;
}

bool CloseHandle(const Handle& h) {
  if (!h || h->closed.exchange(true)) return FailOn(h, EBADF);
  h->Wake();
  std::scoped_lock lock(h->ioMutex, h->monMutex);
  if (!h->disk) {
    // Unsent output would otherwise hold close() for up to 30 s; the port is abandoned, so drop both queues.
    tcflush(h->fd, TCIOFLUSH);
    lowlat::OnClose(h->fd, h->lowLatency);
    ioctl(h->fd, TIOCNXCL);
    flock(h->fd, LOCK_UN);
  }
  ::close(h->fd);
  h->fd = -1;
  if (h->wakeFd >= 0) ::close(h->wakeFd);
  h->wakeFd = -1;
  return true;
}

// ---- Settings -----------------------------------------------------------------------------------------

bool SetupComm(const Handle& h, int32_t inQueue, int32_t outQueue) {
  if (Unusable(h)) return FailOn(h, EBADF);
  if (h->disk) return FailOn(h, ENOTTY);
  // The kernel's queues have a fixed size; only nonsense sizes are refused.
  if (inQueue <= 0 || outQueue <= 0) return FailOn(h, EINVAL);
  return true;
}

bool GetCommState(const Handle& h, Dcb* dcb) {
  if (Unusable(h)) return FailOn(h, EBADF);
  if (h->disk) return FailOn(h, ENOTTY);
  std::lock_guard<std::mutex> lock(h->ioMutex);
  *dcb = h->dcb;
  return true;
}

bool SetCommState(const Handle& h, const Dcb& dcb) {
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
  if (!h) return FailOn(h, EBADF);
  std::lock_guard<std::mutex> lock(h->ioMutex);
  if (h->closed) return FailOn(h, EBADF);
  if (h->disk) return FailOn(h, ENOTTY);
  h->timeouts = timeouts;
  return true;
}

bool SetCommMask(const Handle& h, uint32_t mask) {
  if (Unusable(h)) return FailOn(h, EBADF);
  if (h->disk) return FailOn(h, ENOTTY);
  h->mask.store(mask);
  h->Wake();
  return true;
}

bool EscapeCommFunction(const Handle& h, uint32_t func) {
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

IoResult WriteFile(const Handle& h, const void* data, uint32_t count, uint32_t* written, uint32_t timeoutMs,
                   bool watchTxEmpty) {
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
  const auto* bytes = static_cast<const uint8_t*>(data);
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  IoResult result = IoResult::Done;
  while (*written < count) {
    const ssize_t n = ::write(h->fd, bytes + *written, count - *written);
    if (n > 0) {
      *written += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // The kernel has no room (flow control holds the line, or it is slow): wait for room within the
      // time-out.
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const int64_t elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
      if (elapsed >= static_cast<int64_t>(timeoutMs)) {
        result = IoResult::TimedOut;
        break;
      }
      pollfd p{h->fd, POLLOUT, 0};
      const int r = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(timeoutMs - elapsed, 1000)));
      if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        h->MarkGone();
        Fail(h->path, EIO, ErrorKind::Gone);
        result = IoResult::Failed;
        break;
      }
      continue;
    }
    const int err = n < 0 ? errno : EIO;
    if (!h->disk && (err == EIO || err == ENXIO || err == EPIPE)) {
      h->MarkGone();
      Fail(h->path, err, ErrorKind::Gone);
    } else {
      Fail(h->path, err);
    }
    result = IoResult::Failed;
    break;
  }
  if (watchTxEmpty && *written > 0 && (h->mask.load() & EV_TXEMPTY)) {
    h->txPending.store(true);
    h->Wake();
  }
  return result;
}

bool ClearCommError(const Handle& h, uint32_t* errors, ComStat* stat) {
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
    stat->cbOutQue = static_cast<uint32_t>(std::max(out, 0));
  }
  return true;
}

bool PurgeComm(const Handle& h, uint32_t flags) {
  if (!h) return FailOn(h, EBADF);
  std::lock_guard<std::mutex> lock(h->ioMutex);
  if (h->closed) return FailOn(h, EBADF);
  if (h->disk) return FailOn(h, ENOTTY);
  const bool rx = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
  const bool tx = flags & (PURGE_TXABORT | PURGE_TXCLEAR);
  if (!rx && !tx) return true;
  h->readSeq.fetch_add(1);
  if (tcflush(h->fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0) return Fail(h->path, errno);
  return true;
}

}  // namespace commos
