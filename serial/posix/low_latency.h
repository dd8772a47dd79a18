// Low-latency mode for USB serial adapters. Many adapters hold received bytes for up to 16 ms before the host
// sees them; with one acknowledgement per 1000-byte block that is several per cent of the line. On open the
// kernel's low-latency flag is switched on and a latency timer above 1 ms is lowered (both put back at
// close, so other programs find the adapter as it was); where the timer cannot be lowered, the technician
// gets one line with the udev rule that lowers it. None of this is ever an error: a port that refuses stays
// as fast as it was.
#pragma once

#include <optional>
#include <string>

namespace commos::lowlat {

// The sysfs root of this machine; tests use a tree of their own.
inline constexpr const char* kSysRoot = "/sys";

// What open did to the flag and the timer, so that close puts back exactly that.
struct State {
  bool restore = false;  // the flag was off and we switched it on
  // The timer we lowered: where, and the value it had.
  std::string timerSysRoot, timerTty;
  std::optional<int> timerWas;
};

// Whether to switch the flag on, given what TIOCGSERIAL answered (`gotSerial`, and its `flags` then).
bool ShouldSet(bool isUsb, bool gotSerial, int flags);

// On open of `fd` (the device `path`): switch the flag on for a USB adapter and look at its latency timer.
// Sets this thread's open notice (commos::TakeOpenNotice) when the timer stays above 1 ms.
State OnOpen(int fd, const std::string& path, const std::string& sysRoot = kSysRoot);
// At close: switch the flag off again if OnOpen switched it on, and give the timer back its value if OnOpen
// lowered it and nobody has set it since.
void OnClose(int fd, const State& state);

// The kernel's name of a device path, following links into /dev (/dev/serial/by-id/... -> ttyUSB0); else the
// path's last part.
std::string TtyName(const std::string& path);
// Whether the tty hangs off a USB device in sysfs.
bool IsUsb(const std::string& sysRoot, const std::string& tty);
// The adapter's latency timer in ms, where its driver shows one.
std::optional<int> LatencyTimerMs(const std::string& sysRoot, const std::string& tty);
// Tries to set the timer to 1 ms (root may); true when it is 1 ms or less afterwards.
bool LowerLatencyTimer(const std::string& sysRoot, const std::string& tty);
// Lowers a timer above 1 ms. When it cannot be lowered: the one line of advice, the first time for this tty
// in this process; otherwise empty. `lowered` (when given) gets the value it had if it was lowered here.
std::string LatencyNotice(const std::string& sysRoot, const std::string& tty,
                          std::optional<int>* lowered = nullptr);
// Sets the timer back to `ms` if it is still at the 1 ms LowerLatencyTimer writes.
void RestoreLatencyTimer(const std::string& sysRoot, const std::string& tty, int ms);
// The advice for a timer stuck at `ms`: the udev rule that sets it to 1 ms for every such adapter.
std::string LatencyHint(const std::string& tty, int ms);

}  // namespace commos::lowlat
