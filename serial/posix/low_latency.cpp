#include "serial/posix/low_latency.h"

#include "serial/CommOs.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <set>

namespace commos::lowlat {

thread_local std::string t_notice;  // taken by commos::TakeOpenNotice

namespace {

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::string Basename(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

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

}  // namespace

bool ShouldSet(bool isUsb, bool gotSerial, int flags) {
  return isUsb && gotSerial && !(flags & ASYNC_LOW_LATENCY);
}

std::string TtyName(const std::string& path) {
  const std::string real = RealPath(path);
  // A device of /dev itself goes by its own name (a by-id link leads to ttyUSB0); anything else by the name
  // it is called (a pty's "3" or a port directory's "com1", which sysfs does not know).
  if (real.rfind("/dev/", 0) == 0 && real.find('/', 5) == std::string::npos) return real.substr(5);
  return Basename(path);
}

bool IsUsb(const std::string& sysRoot, const std::string& tty) {
  if (tty.empty()) return false;
  const std::string root = RealPath(sysRoot);
  const std::string device = RealPath(sysRoot + "/class/tty/" + tty + "/device");
  if (root.empty() || device.rfind(root + "/", 0) != 0) return false;
  // USB devices sit below a root hub named "usbN": look for one on the way down from the root.
  for (size_t start = root.size() + 1; start < device.size();) {
    size_t end = device.find('/', start);
    if (end == std::string::npos) end = device.size();
    const std::string part = device.substr(start, end - start);
    if (part.rfind("usb", 0) == 0 && part.size() > 3 &&
        part.find_first_not_of("0123456789", 3) == std::string::npos)
      return true;
    start = end + 1;
  }
  return false;
}

std::optional<int> LatencyTimerMs(const std::string& sysRoot, const std::string& tty) {
  if (tty.empty()) return std::nullopt;
  const int fd = ::open(TimerPath(sysRoot, tty).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buf[32] = {};
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long ms = std::strtol(buf, &end, 10);
  if (end == buf || errno != 0 || ms < 0 || ms > 255 || (*end != '\0' && *end != '\n')) return std::nullopt;
  return static_cast<int>(ms);
}

bool LowerLatencyTimer(const std::string& sysRoot, const std::string& tty) {
  const int fd = ::open(TimerPath(sysRoot, tty).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(fd, "1", 1);
    ::close(fd);
  }
  const auto now = LatencyTimerMs(sysRoot, tty);
  return now && *now <= 1;
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
  t_notice = LatencyNotice(sysRoot, tty);
  return state;
}

std::string LatencyNotice(const std::string& sysRoot, const std::string& tty) {
  const auto ms = LatencyTimerMs(sysRoot, tty);
  if (!ms || *ms <= 1 || LowerLatencyTimer(sysRoot, tty) || !FirstHintFor(tty)) return std::string();
  return LatencyHint(tty, *ms);
}

void OnClose(int fd, const State& state) {
  if (!state.restore) return;
  serial_struct ss{};
  if (::ioctl(fd, TIOCGSERIAL, &ss) != 0) return;
  ss.flags &= ~ASYNC_LOW_LATENCY;
  ::ioctl(fd, TIOCSSERIAL, &ss);
}

}  // namespace commos::lowlat

namespace commos {

std::string TakeOpenNotice() {
  std::string notice;
  notice.swap(lowlat::t_notice);
  return notice;
}

}  // namespace commos
