// The state behind a handle, shared by the calls (commos_posix.cpp) and the monitor's wait (line_events.cpp).
// posix/ is the Linux layer more than a POSIX one: the USB low-latency flag and custom rates come from
// <linux/serial.h>, the wake events are eventfd, and the device list reads sysfs. Another Unix would keep
// termios_map, line_events and net_socket and replace those.
#pragma once

#include <linux/serial.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "serial/CommOs.h"
#include "serial/net/RemoteLine.h"
#include "serial/posix/low_latency.h"
#include "serial/posix/os_error.h"

namespace commos {

class Port {
 public:
  int fd = -1;
  bool disk = false;
  // A line behind a device server: every call goes to it, and nothing below is used.
  std::unique_ptr<net::RemoteLine> remote;
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

  // The rest of a write that the kernel had not taken when its wait ran out (under ioMutex): it stays
  // pending, as an overlapped write does on Windows, and goes out before anything written later.
  std::vector<uint8_t> outPending;
  size_t outSent = 0;
  std::atomic<bool> outWaiting{false};  // outPending holds bytes: the monitor pushes them when there is room
  std::atomic<uint64_t> cutOnTimeout{0}, cutOnClose{0};  // this port's writes cut: held too long, closed
  std::atomic<bool> writeEnded{false};  // the monitor ended a pending write: EV_WRITEDONE is due

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
  bool pollPrimed = false;  // PollCommEvent has read the line counters once

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
  // However the loss showed (a hang-up, EIO, ENXIO, a 0-byte read of a hung-up line), it is reported once:
  // as CE_IOE to ClearCommError and EV_ERR to the monitor.
  void MarkGone() {
    if (!gone.exchange(true)) {
      errors.fetch_or(CE_IOE);
      goneUnreported.store(true);
      Wake();
    }
  }
};

namespace detail {

// The failure of a call that cannot work on this handle: EBADF for none or a closed one, ENOTTY for a file.
inline bool FailOn(const Handle& h, int err) {
  return Fail(h ? h->path : std::string("serial port"), err);
}
inline bool Unusable(const Handle& h) {
  return !h || h->closed;
}
// The remote line behind a handle, or none.
inline net::RemoteLine* Remote(const Handle& h) {
  return h ? h->remote.get() : nullptr;
}
// This thread's open notice, for TakeOpenNotice.
void SetOpenNotice(std::string notice);
// Hands the kernel what it takes now of the port's pending write (under ioMutex): Done when nothing is left,
// TimedOut while some is, Failed (the failure recorded, the rest dropped) when the device fails.
IoResult PushPending(Port& p);

}  // namespace detail

}  // namespace commos
