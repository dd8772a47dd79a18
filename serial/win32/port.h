// The state behind a handle, shared by the calls (commos_win32.cpp) and the monitor's wait (comm_wait.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "serial/net/RemoteLine.h"
#include "serial/win32/os_error.h"
#include "serial/win32/win.h"

namespace commos {

class Port {
 public:
  Port()
      : ioEvent(NewEvent(TRUE)),
        writeEvent(NewEvent(TRUE)),
        waitEvent(NewEvent(TRUE)),
        closing(NewEvent(TRUE)),
        kick(NewEvent(FALSE)),
        writeKick(NewEvent(FALSE)) {}
  ~Port() {
    // CloseHandle has ended any pending write; a port never closed still holds the system to its record.
    if (writePending && h != INVALID_HANDLE_VALUE) {
      CancelIoEx(h, &writeOv);
      DWORD ignored = 0;
      GetOverlappedResult(h, &writeOv, &ignored, TRUE);
    }
    for (HANDLE e : {ioEvent, writeEvent, waitEvent, closing, kick, writeKick}) {
      if (e) ::CloseHandle(e);
    }
  }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  HANDLE h = INVALID_HANDLE_VALUE;  // opened for overlapped I/O
  bool disk = false;
  // A line behind a device server: every call goes to it, and nothing below is used.
  std::unique_ptr<net::RemoteLine> remote;
  std::string path;
  HANDLE ioEvent;     // completes the overlapped reads (one at a time, under ioMutex)
  HANDLE writeEvent;  // completes the overlapped write, which may outlive its call
  HANDLE waitEvent;   // completes the monitor's overlapped WaitCommEvent
  HANDLE closing;     // set once by CloseHandle: a write or the monitor's wait ends at once
  HANDLE kick;        // auto-reset: the device was found gone outside the monitor, which has to report it
  HANDLE writeKick;   // auto-reset: a write went pending, for the monitor to watch (writeWatch)

  std::mutex ioMutex;   // the handle in reads, writes and settings, against CloseHandle
  std::mutex monMutex;  // the handle in the monitor's wait, against CloseHandle
  std::atomic<bool> closed{false};

  // The write in the system's hands (under ioMutex). A write whose wait ran out stays pending: its record and
  // its bytes (a copy) live here until it completes or CloseHandle cancels it, and no other write starts
  // before it has completed.
  OVERLAPPED writeOv{};
  std::vector<uint8_t> writeData;
  bool writePending = false;
  bool writeCut = false;                                 // its cancel has been counted
  std::atomic<uint64_t> cutOnTimeout{0}, cutOnClose{0};  // this port's transfers cut, by reason
  // A write went pending and nobody has seen it end: the monitor waits for writeEvent too and reports
  // EV_WRITEDONE, so that its writer need not look.
  std::atomic<bool> writeWatch{false};

  std::atomic<uint32_t> mask{0};
  std::atomic<uint32_t> errors{0};  // CE_ bits of our own waiting for ClearCommError
  std::atomic<bool> gone{false};    // the device has vanished
  std::atomic<bool> goneUnreported{false};

  // However the loss showed (a failed wait, read, write or query), it is reported once: as CE_IOE to
  // ClearCommError and EV_ERR to the monitor, which is woken for it.
  void MarkGone() {
    if (!gone.exchange(true)) {
      errors.fetch_or(CE_IOE);
      goneUnreported.store(true);
      SetEvent(kick);
    }
  }

 private:
  static HANDLE NewEvent(BOOL manualReset) { return CreateEventW(nullptr, manualReset, FALSE, nullptr); }
};

namespace detail {

// The failure of a call that cannot work on this handle.
inline bool FailOn(const Handle& h, uint32_t code) {
  return Fail(h ? h->path : std::string("serial port"), code);
}
inline bool Unusable(const Handle& h) {
  return !h || h->closed;
}
// The remote line behind a handle, or none.
inline net::RemoteLine* Remote(const Handle& h) {
  return h ? h->remote.get() : nullptr;
}
// The errors with which Windows reports a device that has gone (unplugged adapter, closed far side).
inline bool IsGoneError(uint32_t code) {
  return KindOfError(code) == ErrorKind::Gone && code != ERROR_OPERATION_ABORTED;
}

}  // namespace detail

}  // namespace commos
