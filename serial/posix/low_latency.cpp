#include "serial/posix/low_latency.h"

#include "serial/CommOs.h"
#include "serial/posix/port.h"
#include "serial/posix/sysfs.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>

namespace commos::lowlat {

thread_local std::string t_notice;  // taken by commos::TakeOpenNotice

namespace {

std::string TimerPath(const std::string& sysRoot, const std::string& tty) {
  return sysRoot + "/class/tty/" + tty + "/device/latency_timer";
}

// The hint is worth reading once; a scan reopens the same adapter many times.
bool FirstHintFor(const std::string& tty) {
  static std::mutex mutex;
  static std::set<std::string> given;
  std::lock_guard<std::mutex> lock(mutex);
  return given.insert(tty).second;
}

void WriteTimer(const std::string& sysRoot, const std::string& tty, int ms) {
  const int fd = ::open(TimerPath(sysRoot, tty).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return;
  const std::string text = std::to_string(ms);
  [[maybe_unused]] const ssize_t n = ::write(fd, text.data(), text.size());
  ::close(fd);
}

}  // namespace

bool ShouldSet(bool isUsb, bool gotSerial, int flags) {
  return isUsb && gotSerial && !(flags & ASYNC_LOW_LATENCY);
}

std::string TtyName(const std::string& path) {
  return sysfs::TtyName(path);
}

bool IsUsb(const std::string& sysRoot, const std::string& tty) {
  // USB devices sit below a root hub named "usbN": look for one on the way up to the root.
  for (const std::string& dir : sysfs::FoldersUp(sysfs::RealPath(sysRoot), sysfs::TtyDevice(sysRoot, tty))) {
    const std::string part = sysfs::Basename(dir);
    if (part.rfind("usb", 0) == 0 && part.size() > 3 &&
        part.find_first_not_of("0123456789", 3) == std::string::npos)
      return true;
  }
  return false;
}

std::optional<int> LatencyTimerMs(const std::string& sysRoot, const std::string& tty) {
  if (tty.empty()) return std::nullopt;
  const auto text = sysfs::ReadSmall(TimerPath(sysRoot, tty));
  if (!text) return std::nullopt;
  const char* buf = text->c_str();
  char* end = nullptr;
  errno = 0;
  const long ms = std::strtol(buf, &end, 10);
  if (end == buf || errno != 0 || ms < 0 || ms > 255 || (*end != '\0' && *end != '\n')) return std::nullopt;
  return static_cast<int>(ms);
}

bool LowerLatencyTimer(const std::string& sysRoot, const std::string& tty) {
  WriteTimer(sysRoot, tty, 1);
  const auto now = LatencyTimerMs(sysRoot, tty);
  return now && *now <= 1;
}

void RestoreLatencyTimer(const std::string& sysRoot, const std::string& tty, int ms) {
  // Another program (or the driver) that set its own value since keeps it.
  if (LatencyTimerMs(sysRoot, tty) == 1) WriteTimer(sysRoot, tty, ms);
}

std::string LatencyHint(const std::string& tty, int ms) {
  return tty + ": the adapter holds received bytes up to " + std::to_string(ms) +
         " ms (latency_timer); to set 1 ms for every such adapter: "
         "echo 'ACTION==\"add\", SUBSYSTEM==\"usb-serial\", ATTR{latency_timer}=\"1\"' | "
         "sudo tee /etc/udev/rules.d/99-serial-latency.rules, then plug it in again";
}

State OnOpen(int fd, const std::string& path, const std::string& sysRoot) {
  t_notice.clear();
  State state;
  const std::string tty = TtyName(path);
  const bool usb = IsUsb(sysRoot, tty);
  if (!usb) return state;  // ptys, built-in ports and files keep what they have
  serial_struct ss{};
  const bool got = ::ioctl(fd, TIOCGSERIAL, &ss) == 0;
  if (ShouldSet(usb, got, got ? ss.flags : 0)) {
    ss.flags |= ASYNC_LOW_LATENCY;
    state.restore = ::ioctl(fd, TIOCSSERIAL, &ss) == 0;
  }
  // Some drivers lower their timer along with the flag; look afterwards.
  t_notice = LatencyNotice(sysRoot, tty, &state.timerWas);
  if (state.timerWas) {
    state.timerSysRoot = sysRoot;
    state.timerTty = tty;
  }
  return state;
}

std::string LatencyNotice(const std::string& sysRoot, const std::string& tty, std::optional<int>* lowered) {
  const auto ms = LatencyTimerMs(sysRoot, tty);
  if (!ms || *ms <= 1) return std::string();
  if (LowerLatencyTimer(sysRoot, tty)) {
    if (lowered) *lowered = *ms;
    return std::string();
  }
  return FirstHintFor(tty) ? LatencyHint(tty, *ms) : std::string();
}

void OnClose(int fd, const State& state) {
  serial_struct ss{};
  if (state.restore && ::ioctl(fd, TIOCGSERIAL, &ss) == 0) {
    ss.flags &= ~ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &ss);
  }
  // After the flag: a driver that sets its own timer with the flag has done so by now.
  if (state.timerWas) RestoreLatencyTimer(state.timerSysRoot, state.timerTty, *state.timerWas);
}

}  // namespace commos::lowlat

namespace commos {

void detail::SetOpenNotice(std::string notice) {
  lowlat::t_notice = std::move(notice);
}

std::string TakeOpenNotice() {
  std::string notice;
  notice.swap(lowlat::t_notice);
  return notice;
}

}  // namespace commos
