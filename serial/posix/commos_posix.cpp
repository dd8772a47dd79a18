// The communications calls on POSIX terminals (termios and ioctls).
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "serial/CommOs.h"
#include "serial/posix/custom_baud.h"
#include "serial/posix/low_latency.h"
#include "serial/posix/termios_map.h"

namespace commos {

namespace {

thread_local std::string t_lastError;
thread_local int t_lastErrno = 0;

void SetLastError(const std::string& what, int err) {
  std::string text = what + ": " + std::strerror(err);
  switch (err) {
    case EACCES:
    case EPERM:
      text += " (add your user to the dialout group: sudo usermod -aG dialout $USER, then log in again)";
      break;
    case EBUSY:
    case EWOULDBLOCK:
      text += " (another program holds the port open)";
      break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      text += " (no such serial device; is the adapter plugged in?)";
      break;
    case EIO:
      text += " (the device stopped answering; was it unplugged?)";
      break;
    default:
      break;
  }
  t_lastError = text;
  t_lastErrno = err;
}

// Poll intervals for what the kernel cannot wake us for.
constexpr int kStaleRxPollMs = 20;  // bytes queued that nobody has read: watch for more
constexpr int kTxEmptyPollMs = 2;   // output written: watch for the queue to drain
constexpr int kLinePollMs = 25;     // modem lines and line-error counters of a real serial device

}  // namespace

class Port {
 public:
  int fd = -1;
  bool disk = false;
  std::string path;
  int wakeFd = -1;  // eventfd: CloseHandle, WriteFile and SetCommMask wake the monitor with it

  std::mutex ioMutex;   // the descriptor in reads, writes and settings, against CloseHandle
  std::mutex monMutex;  // the descriptor in the monitor's wait, against CloseHandle
  std::atomic<bool> closed{false};

  std::atomic<uint32_t> mask{0};
  std::atomic<uint32_t> errors{0};  // CE_ bits waiting for ClearCommError
  std::atomic<bool> gone{false};    // the device has vanished
  std::atomic<bool> goneUnreported{false};
  std::atomic<uint64_t> readSeq{0};  // counts reads and purges, so the monitor sees that bytes were taken
  std::atomic<bool> txPending{false};

  lowlat::State lowLatency;  // what open changed, for close to put back
  Dcb dcb;                   // the last block set (under ioMutex)
  CommTimeouts timeouts;

  // The monitor's own bookkeeping (monitor thread only).
  uint64_t seqAtReport = ~uint64_t{0};
  int inqAtReport = 0;
  bool modemOk = false;
  int modemLast = -1;
  bool icountOk = false;
  serial_icounter_struct icountLast{};

  void Wake() const {
    if (wakeFd >= 0) {
      const uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
    }
  }
  void DrainWake() const {
    uint64_t value;
    [[maybe_unused]] ssize_t n = ::read(wakeFd, &value, sizeof value);
  }
  void MarkGone() {
    if (!gone.exchange(true)) {
      errors.fetch_or(CE_IOE);
      goneUnreported.store(true);
      Wake();
    }
  }
};

// ---- WaitableEvent
// ---------------------------------------------------------------------------------------------

WaitableEvent::WaitableEvent() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WaitableEvent::~WaitableEvent() {
  if (fd_ >= 0) ::close(fd_);
}

void WaitableEvent::Set() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
}

void WaitableEvent::Reset() {
  uint64_t value;
  [[maybe_unused]] ssize_t n = ::read(fd_, &value, sizeof value);
}

bool WaitableEvent::IsSet() const {
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

// ---- Port names
// ------------------------------------------------------------------------------------------------

namespace {

// The machine's serial devices in the documented order: USB adapters, then USB modems (CDC ACM), then the
// built-in ports; by number within each kind.
std::vector<std::string> SerialDevices() {
  std::vector<std::string> result;
  for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
    std::vector<std::pair<long, std::string>> found;
    if (DIR* dir = opendir("/dev")) {
      const size_t len = std::strlen(prefix);
      while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() <= len || name.compare(0, len, prefix) != 0) continue;
        const std::string digits = name.substr(len);
        if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
        found.emplace_back(std::strtol(digits.c_str(), nullptr, 10), "/dev/" + name);
      }
      closedir(dir);
    }
    std::sort(found.begin(), found.end());
    for (auto& f : found) result.push_back(f.second);
  }
  return result;
}

// N from "ComN" (any letter case, N >= 1), else 0.
long ComNumber(const std::string& name) {
  if (name.size() < 4 || name.size() > 12) return 0;
  auto lower = [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); };
  if (lower(name[0]) != 'c' || lower(name[1]) != 'o' || lower(name[2]) != 'm') return 0;
  long n = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

}  // namespace

std::string ResolvePortName(const std::string& name) {
  const long n = ComNumber(name);
  if (n <= 0) return name;
  if (const char* dir = std::getenv("BRAE_PORT_DIR"); dir && *dir) {
    return std::string(dir) + "/com" + std::to_string(n);
  }
  const auto devices = SerialDevices();
  if (static_cast<size_t>(n) <= devices.size()) return devices[static_cast<size_t>(n) - 1];
  return std::string();
}

int LastErrorCode() {
  return t_lastErrno;
}

bool IsMissingDevice(int err) {
  return err == ENOENT || err == ENODEV || err == ENXIO;
}

std::string LastErrorText() {
  return t_lastError;
}

// ---- Open and close
// --------------------------------------------------------------------------------------------

Handle CreateFile(const std::string& name) {
  const std::string path = ResolvePortName(name);
  if (path.empty()) {
    SetLastError(name + " (this machine has no serial device with that number)", ENOENT);
    return {};
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(path, errno);
    return {};
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    SetLastError(path, errno);
    ::close(fd);
    return {};
  }
  auto port = std::make_shared<Port>();
  port->path = path;
  if (S_ISREG(st.st_mode)) {
    port->fd = fd;
    port->disk = true;
    return port;
  }
  if (!isatty(fd)) {
    SetLastError(path, ENOTTY);
    ::close(fd);
    return {};
  }
  // TIOCEXCL does not stop root from opening the port twice; the lock does, between programs that take it.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    SetLastError(path, errno == EWOULDBLOCK ? EBUSY : errno);
    ::close(fd);
    return {};
  }
  if (ioctl(fd, TIOCEXCL) != 0 && errno != EINVAL && errno != ENOTTY) {
    SetLastError(path, errno);
    flock(fd, LOCK_UN);
    ::close(fd);
    return {};
  }
  termios t{};
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
  }
  port->lowLatency = lowlat::OnOpen(fd, path);
  port->fd = fd;
  port->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  int bits = 0;
  port->modemOk = ioctl(fd, TIOCMGET, &bits) == 0;
  serial_icounter_struct ic{};
  port->icountOk = ioctl(fd, TIOCGICOUNT, &ic) == 0;
  return port;
}

uint32_t GetFileType(const Handle& h) {
  if (!h || h->closed) return FILE_TYPE_UNKNOWN;
  return h->disk ? FILE_TYPE_DISK : FILE_TYPE_CHAR;
}

bool CloseHandle(const Handle& h) {
  if (!h || h->closed.exchange(true)) return false;
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

// ---- Settings
// --------------------------------------------------------------------------------------------------

bool SetupComm(const Handle& h, int32_t inQueue, int32_t outQueue) {
  if (!h || h->closed || h->disk) return false;
  // The kernel's queues have a fixed size; only nonsense sizes are refused.
  return inQueue > 0 && outQueue > 0;
}

bool GetCommState(const Handle& h, Dcb* dcb) {
  if (!h || h->closed || h->disk) return false;
  std::lock_guard<std::mutex> lock(h->ioMutex);
  *dcb = h->dcb;
  return true;
}

bool SetCommState(const Handle& h, const Dcb& dcb) {
  if (!h) return false;
  std::lock_guard<std::mutex> lock(h->ioMutex);
  if (h->closed || h->disk) return false;
  termios base{};
  if (tcgetattr(h->fd, &base) != 0) {
    SetLastError(h->path, errno);
    return false;
  }
  const detail::TermiosPlan plan = detail::BuildTermios(dcb, base);
  if (!plan.ok) {
    SetLastError(h->path, EINVAL);
    return false;
  }
  if (tcsetattr(h->fd, TCSANOW, &plan.tio) != 0) {
    SetLastError(h->path, errno);
    return false;
  }
  if (plan.customBaud ? !detail::SetCustomBaud(h->fd, dcb.BaudRate)
                      : detail::GetBaud(h->fd) != dcb.BaudRate && detail::GetBaud(h->fd) != 0) {
    SetLastError(h->path + " (rate " + std::to_string(dcb.BaudRate) + ")", EINVAL);
    return false;
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
  if (!h) return false;
  std::lock_guard<std::mutex> lock(h->ioMutex);
  if (h->closed || h->disk) return false;
  h->timeouts = timeouts;
  return true;
}

bool SetCommMask(const Handle& h, uint32_t mask) {
  if (!h || h->closed || h->disk) return false;
  h->mask.store(mask);
  h->Wake();
  return true;
}

bool EscapeCommFunction(const Handle& h, uint32_t func) {
  if (!h) return false;
  std::lock_guard<std::mutex> lock(h->ioMutex);
  if (h->closed || h->disk) return false;
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
      return false;
  }
  if (ioctl(h->fd, request, &bits) != 0) {
    SetLastError(h->path + " (modem lines)", errno);
    return false;
  }
  return true;
}

// ---- Transfers
// -------------------------------------------------------------------------------------------------

IoResult ReadFile(const Handle& h, void* data, uint32_t count, uint32_t* read) {
  *read = 0;
  if (!h) return IoResult::Failed;
  std::lock_guard<std::mutex> lock(h->ioMutex);
  if (h->closed) return IoResult::Failed;
  h->readSeq.fetch_add(1);
  if (count == 0 || h->gone) return IoResult::Done;
  const ssize_t n = ::read(h->fd, data, count);
  if (n > 0) {
    *read = static_cast<uint32_t>(n);
    return IoResult::Done;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return IoResult::Done;
  if (h->disk) return n == 0 ? IoResult::Done : IoResult::Failed;
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
  if (!h) return IoResult::Failed;
  std::lock_guard<std::mutex> lock(h->ioMutex);
  if (h->closed) {
    SetLastError("write", EBADF);
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
        SetLastError(h->path, EIO);
        result = IoResult::Failed;
        break;
      }
      continue;
    }
    const int err = n < 0 ? errno : EIO;
    if (!h->disk && (err == EIO || err == ENXIO || err == EPIPE)) h->MarkGone();
    SetLastError(h->path, err);
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
  if (!h) return false;
  std::lock_guard<std::mutex> lock(h->ioMutex);
  if (h->closed) return false;
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
  if (!h) return false;
  std::lock_guard<std::mutex> lock(h->ioMutex);
  if (h->closed || h->disk) return false;
  const bool rx = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
  const bool tx = flags & (PURGE_TXABORT | PURGE_TXCLEAR);
  if (!rx && !tx) return true;
  h->readSeq.fetch_add(1);
  return tcflush(h->fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) == 0;
}

// ---- Line events
// -----------------------------------------------------------------------------------------------

namespace {

// What has happened on the line since the last look; 0 when nothing.
uint32_t LineEvents(Port& p, uint32_t mask, int inq) {
  uint32_t events = 0;
  if ((mask & EV_ERR) && p.goneUnreported.exchange(false)) events |= EV_ERR;
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

}  // namespace

bool WaitCommEvent(const Handle& h, uint32_t* mask, const WaitableEvent& wake) {
  *mask = 0;
  if (!h) return false;
  Port& p = *h;
  std::unique_lock<std::mutex> lock(p.monMutex);
  bool primed = false;  // the line counters have been read once since this wait began
  for (;;) {
    if (p.closed || p.disk) {
      lock.unlock();
      // Nothing more will happen on this handle: wait for the owner to stop us, without spinning.
      pollfd w{wake.Fd(), POLLIN, 0};
      ::poll(&w, 1, 50);
      return false;
    }
    if (wake.IsSet()) return false;
    const uint32_t m = p.mask.load();
    int inq = 0;
    if (!p.gone && ioctl(p.fd, FIONREAD, &inq) != 0) {
      if (errno == EIO) p.MarkGone();
      inq = 0;
    }
    if (!primed) {
      primed = true;
      if (p.icountOk) ioctl(p.fd, TIOCGICOUNT, &p.icountLast);
    }
    if (const uint32_t events = LineEvents(p, m, inq)) {
      *mask = events;
      return true;
    }
    pollfd fds[3] = {{p.fd, 0, 0}, {wake.Fd(), POLLIN, 0}, {p.wakeFd, POLLIN, 0}};
    int timeout = -1;
    if (p.gone) {
      fds[0].fd = -1;  // a vanished device would report its hang-up forever: stop watching it
    } else {
      if ((m & EV_RXCHAR) && inq == 0) fds[0].events = POLLIN;
      if ((m & EV_RXCHAR) && inq > 0) timeout = kStaleRxPollMs;
      if ((m & EV_TXEMPTY) && p.txPending)
        timeout = timeout < 0 ? kTxEmptyPollMs : std::min(timeout, kTxEmptyPollMs);
      if ((p.modemOk && (m & (EV_CTS | EV_DSR | EV_RLSD | EV_RING))) ||
          (p.icountOk && (m & (EV_BREAK | EV_ERR)))) {
        timeout = timeout < 0 ? kLinePollMs : std::min(timeout, kLinePollMs);
      }
    }
    const int r = ::poll(fds, 3, timeout);
    if (r < 0 && errno != EINTR) return false;
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) p.MarkGone();
    if (fds[2].revents & POLLIN) p.DrainWake();
  }
}

}  // namespace commos
