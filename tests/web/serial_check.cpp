// The serial layer of the page (serial/web) against the simulated indicator, under Node: the wasm program
// that tests/web/run_serial_check.mjs starts with one port granted (web:0, the Web Serial stand-in over the
// bridge to a pseudo-terminal the simulator serves, run with --stuck-xoff 30:400 --vanish-after 36). One line
// per check; the exit code counts the failures.
#include <emscripten.h>

#include <cstdio>
#include <functional>
#include <string>

#include "serial/CommOs.h"
#include "toolkit/Clock.h"
#include "toolkit/web/BrowserWait.h"

namespace {

using namespace commos;

Handle h;
std::string rx;  // everything read so far

int64_t NowMs() {
  return tk::MonotonicUs() / 1000;
}

// Reads what the events tell of for up to ms, until `until` is in what came and the events `want` were
// seen (a write's end may come after the answer to it); the events seen.
uint32_t Take(const std::string& until, int ms, uint32_t want = 0) {
  uint32_t seen = 0;
  for (const int64_t end = NowMs() + ms;
       NowMs() < end && (until.empty() || rx.find(until) == std::string::npos || (seen & want) != want);) {
    uint32_t mask = 0;
    if (PollCommEvent(h, &mask)) {
      seen |= mask;
      char buffer[256];
      uint32_t n = 0;
      if ((mask & EV_RXCHAR) && ReadFile(h, buffer, sizeof buffer, &n) == IoResult::Done)
        rx.append(buffer, n);
    }
    tk::web::WaitRoused(20);
  }
  return seen;
}

std::string Ask(const std::string& command, const std::string& answer) {
  rx.clear();
  uint32_t written = 0;
  if (WriteFile(h, command.data(), command.size(), &written, 2000) != IoResult::Done)
    return "write: " + LastErrorText();
  Take(answer, 3000);
  return rx.find(answer) != std::string::npos ? ""
                                              : "no " + answer + " to " + command + ", got \"" + rx + "\"";
}

std::string Set(uint32_t rate, uint32_t flags) {
  Dcb dcb;
  dcb.BaudRate = rate;
  dcb.Flags = flags;
  return SetCommState(h, dcb) ? "" : LastErrorText();
}

const struct {
  const char* what;
  std::function<std::string()> run;
} kChecks[] = {
    {"an open without waiting is pending at first",
     [] {
       h = CreateFile("Com1", false);
       return !h && LastErrorKind() == ErrorKind::Pending ? "" : "not pending: " + LastErrorText();
     }},
    {"the next open takes the finished one",
     [] {
       for (const int64_t end = NowMs() + 5000; !OpenEnded("Com1") && NowMs() < end;)
         tk::web::WaitRoused(100);
       h = CreateFile("Com1", false);
       return h && SetCommMask(h, EV_RXCHAR | EV_ERR) ? "" : LastErrorText();
     }},
    {"a second open of the port is refused as busy",
     [] {
       return !CreateFile("web:0") && LastErrorKind() == ErrorKind::Busy ? "" : "kind: " + LastErrorText();
     }},
    {"a port the page was not given is missing",
     [] { return !CreateFile("Com2") && LastErrorKind() == ErrorKind::Missing ? "" : LastErrorText(); }},
    {"a device server is out of the page's reach",
     [] {
       return !CreateFile("rfc2217://127.0.0.1:7000") &&
                      LastErrorText().find("device server") != std::string::npos
                  ? ""
                  : LastErrorText();
     }},
    {"at 9600 the indicator answers", [] { return Set(9600, fBinary) + Ask("{VFSH}", "[512]"); }},
    {"a new rate reopens the port at it",
     [] { return Ask("{SEBX38400}", "^") + Set(38400, fBinary) + Ask("{VFSH}", "[512]"); }},
    {"XOFF holds a write pending until XON, and neither is read",
     [] {
       std::string why = Set(38400, fBinary | fOutX) + Ask("{VC}", "]") + Ask("{VW}", "]");
       uint32_t written = 0;
       rx.clear();
       if (WriteFile(h, "{FT}", 4, &written, 0) != IoResult::TimedOut) why += " the write was not held;";
       if (Take("", 200) & EV_WRITEDONE) why += " it ended while held;";
       if (!(Take("[1200]", 3000, EV_WRITEDONE) & EV_WRITEDONE)) why += " no EV_WRITEDONE after XON;";
       if (rx.find('\x13') != std::string::npos || rx.find('\x11') != std::string::npos)
         why += " XON/XOFF read;";
       return why;
     }},
    {"a lost port is told once, and writes fail as gone",
     [] {
       uint32_t written = 0, errors = 0;
       WriteFile(h, "{VC}", 4, &written, 1000);
       std::string why;
       if (!(Take("", 3000) & EV_ERR)) why += " no EV_ERR;";
       if (!ClearCommError(h, &errors, nullptr) || !(errors & CE_IOE)) why += " no CE_IOE;";
       if (Take("", 300) & EV_ERR) why += " told twice;";
       if (WriteFile(h, "x", 1, &written, 100) != IoResult::Failed || LastErrorKind() != ErrorKind::Gone)
         why += " the write after: " + LastErrorText();
       return why;
     }},
    {"a lost port closes", [] { return CloseHandle(h) ? "" : LastErrorText(); }},
};

}  // namespace

EM_JS(void, brae_check_done, (int failed), { Module["braeCheckDone"](failed); });

int main() {
  int failed = 0;
  for (const auto& check : kChecks) {
    const std::string why = check.run();
    std::printf("%s %s%s%s\n", why.empty() ? "ok" : "FAIL", check.what, why.empty() ? "" : ": ", why.c_str());
    failed += !why.empty();
  }
  std::printf("%d of %zu failed\n", failed, sizeof kChecks / sizeof kChecks[0]);
  // main has been suspended and resumed by the waits, so its return ends nothing: the runner is told.
  brae_check_done(failed);
  return failed;
}
