// The state behind a handle in the page, shared by the calls (commos_web.cpp), the event polls
// (line_events.cpp) and the names (port_names.cpp). The line itself (its bytes each way, the open, the
// reopen for a new rate) lives on the JavaScript side (web_serial.js), under the line id; everything here
// is single-threaded.
#pragma once

#include <cstdint>
#include <string>

#include "serial/CommOs.h"

// The JavaScript side's calls (serial/web/web_serial.js). None waits.
extern "C" {
int brae_serial_count();
int brae_serial_present(int index);
int brae_serial_usb_id(int index);
int brae_serial_open(int index, uint32_t baud, int dataBits, int stopBits, int parity, int hardware);
int brae_serial_state(int id);
int brae_serial_reason(int id, char* buf, int size);
void brae_serial_close(int id);
int brae_serial_configure(int id, uint32_t baud, int dataBits, int stopBits, int parity, int hardware,
                          int outX, int xon, int xoff, int dtr, int rts);
void brae_serial_signals(int id, int dtr, int rts);
int brae_serial_signals_result(int id, char* buf, int size);
uint32_t brae_serial_read(int id, void* data, uint32_t count);
uint32_t brae_serial_queued(int id);
void brae_serial_purge_rx(int id);
int brae_serial_write(int id, const void* data, uint32_t count);
uint32_t brae_serial_unsent(int id);
uint32_t brae_serial_drop_unsent(int id);
uint32_t brae_serial_take_line_errors(int id);
}

namespace commos {

namespace web {

// brae_serial_state's answers.
enum LineState { kOpening = 0, kOpen = 1, kFailed = 2, kGone = 3, kNoLine = 4 };

// The port names of the page: "web:N" for the N-th port the page has granted (from 0), "ComN" for web:(N-1),
// and "web:usb:VVVV:PPPP" for the one port plugged in with that USB vendor and product.
constexpr char kPrefix[] = "web:";
// N of "web:N", else -1.
int IndexOf(const std::string& name);
std::string NameOf(int index);

}  // namespace web

class Port {
 public:
  int line = 0;  // the JavaScript side's id
  int index = 0;
  std::string name;  // "web:N"
  bool closed = false;

  uint32_t mask = 0;
  uint32_t errors = 0;  // CE_ bits waiting for ClearCommError
  bool gone = false;
  bool goneUnreported = false;
  std::string goneText;
  uint64_t readSeq = 0;  // counts reads and purges, so the poll sees that bytes were taken
  bool txPending = false;
  bool writeAwaited = false;  // a write left pending by its time-out: EV_WRITEDONE once it ends
  uint64_t cutOnTimeout = 0, cutOnClose = 0;
  Dcb dcb;
  CommTimeouts timeouts;

  // The poll's bookkeeping.
  uint64_t seqAtReport = ~uint64_t{0};
  uint32_t inqAtReport = 0;

  // Takes in what the JavaScript side knows of the line: a loss (reported once), line errors (which it
  // returns, as CE_ bits, besides keeping them for ClearCommError).
  uint32_t Refresh();
};

namespace detail {

// The failure of a call on no handle or a closed one.
bool FailClosed(const Handle& h);
// One of the JavaScript side's failures: its text and ErrorKind code.
bool FailWith(const std::string& what, const std::string& reason, int kindCode);
bool Fail(const std::string& what, const std::string& reason, ErrorKind kind);
// The port has gone: the reason it went.
bool FailGone(const Port& p);
inline bool Unusable(const Handle& h) {
  return !h || h->closed;
}
// The JavaScript side's text for a line's failure, and its ErrorKind code.
int LineReason(int line, std::string* text);

}  // namespace detail

}  // namespace commos
