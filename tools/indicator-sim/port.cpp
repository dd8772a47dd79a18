#include "port.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim {
namespace {

struct SpeedEntry {
  speed_t speed;
  int rate;
};
constexpr SpeedEntry kSpeeds[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
                                  {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};

speed_t speed_of_rate(int rate) {
  for (auto& e : kSpeeds)
    if (e.rate == rate) return e.speed;
  return B9600;
}

std::string sys_error(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

bool make_raw(int fd, int rate, std::string& error) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    error = sys_error("tcgetattr");
    return false;
  }
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&t, speed_of_rate(rate));
  cfsetospeed(&t, speed_of_rate(rate));
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    error = sys_error("tcsetattr");
    return false;
  }
  return true;
}

// Whether /proc/locks lists a flock on the file with this device and inode.
bool flock_held(dev_t dev, ino_t ino) {
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    if (line.find(" FLOCK ") == std::string::npos) continue;
    std::istringstream words(line);
    std::string w;
    while (words >> w) {
      unsigned maj = 0, min = 0;
      unsigned long inode = 0;
      char tail = 0;
      if (std::sscanf(w.c_str(), "%x:%x:%lu%c", &maj, &min, &inode, &tail) == 3 && maj == major(dev) &&
          min == minor(dev) && inode == ino)
        return true;
    }
  }
  return false;
}

}  // namespace

std::optional<int> rate_of_speed(unsigned long speed) {
  for (auto& e : kSpeeds)
    if (e.speed == speed) return e.rate;
  return std::nullopt;
}

std::unique_ptr<Port> Port::open_pty(const std::string& link, int rate, std::string& error) {
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    error = link + " exists and is not a symbolic link; not replacing it";
    return nullptr;
  }
  std::unique_ptr<Port> p(new Port);
  p->fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (p->fd_ < 0 || grantpt(p->fd_) != 0 || unlockpt(p->fd_) != 0) {
    error = sys_error("pseudo-terminal");
    return nullptr;
  }
  char name[128];
  if (ptsname_r(p->fd_, name, sizeof name) != 0) {
    error = sys_error("ptsname");
    return nullptr;
  }
  p->slave_name_ = name;
  p->slave_fd_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (p->slave_fd_ < 0) {
    error = sys_error(std::string("open ") + name);
    return nullptr;
  }
  if (!make_raw(p->slave_fd_, rate, error)) return nullptr;
  fcntl(p->fd_, F_SETFL, fcntl(p->fd_, F_GETFL) | O_NONBLOCK);

  // Watch for closes before the link exists: an updater that opens, locks and closes the port the
  // moment the link appears must not leave its exclusive mode behind unseen.
  p->notify_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (p->notify_fd_ >= 0 && inotify_add_watch(p->notify_fd_, name, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
    close(p->notify_fd_);
    p->notify_fd_ = -1;  // exclusive mode then stays until the updater clears it itself
  }

  // Link under a temporary name, then rename over: the path never points nowhere.
  std::string tmp = link + ".sim-" + std::to_string(getpid());
  unlink(tmp.c_str());
  if (symlink(name, tmp.c_str()) != 0) {
    error = sys_error("symlink " + tmp);
    return nullptr;
  }
  if (rename(tmp.c_str(), link.c_str()) != 0) {
    error = sys_error("rename to " + link);
    unlink(tmp.c_str());
    return nullptr;
  }
  p->link_ = link;
  return p;
}

std::unique_ptr<Port> Port::open_tty(const std::string& path, int rate, std::string& error) {
  std::unique_ptr<Port> p(new Port);
  p->fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (p->fd_ < 0) {
    error = sys_error("open " + path);
    return nullptr;
  }
  if (!isatty(p->fd_)) {
    error = path + " is not a terminal device";
    return nullptr;
  }
  if (!make_raw(p->fd_, rate, error)) return nullptr;
  p->slave_name_ = path;
  return p;
}

Port::~Port() {
  if (!link_.empty()) {
    // Only remove the link if it still points at our slave; someone may have replaced it.
    char buf[256];
    ssize_t n = readlink(link_.c_str(), buf, sizeof buf - 1);
    if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == slave_name_) unlink(link_.c_str());
  }
  if (notify_fd_ >= 0) close(notify_fd_);
  if (slave_fd_ >= 0) close(slave_fd_);
  if (fd_ >= 0) close(fd_);
}

std::optional<int> Port::line_rate() const {
  termios t{};
  if (tcgetattr(slave_fd_ >= 0 ? slave_fd_ : fd_, &t) != 0) return std::nullopt;
  return rate_of_speed(cfgetospeed(&t));
}

void Port::set_device_rate(int rate) {
  if (is_pty()) return;
  termios t{};
  if (tcgetattr(fd_, &t) != 0) return;
  cfsetispeed(&t, speed_of_rate(rate));
  cfsetospeed(&t, speed_of_rate(rate));
  tcsetattr(fd_, TCSADRAIN, &t);
}

int Port::unread_by_peer() const {
  if (slave_fd_ < 0) return 0;
  int n = 0;
  if (ioctl(slave_fd_, TIOCINQ, &n) != 0) return 0;
  return n;
}

}  // namespace sim

namespace sim {

bool Port::exclusive() const {
  int excl = 0;
  return slave_fd_ >= 0 && ioctl(slave_fd_, TIOCGEXCL, &excl) == 0 && excl != 0;
}

bool Port::take_close_events() {
  if (notify_fd_ < 0) return false;
  alignas(inotify_event) char buf[4096];
  bool any = false;
  while (read(notify_fd_, buf, sizeof buf) > 0) any = true;
  return any;
}

bool Port::release_stale_exclusive() {
  if (!exclusive()) {
    stale_checks_ = 0;
    return false;
  }
  struct stat st {};
  if (fstat(slave_fd_, &st) != 0) return false;
  if (flock_held(st.st_dev, st.st_ino)) {
    stale_checks_ = 0;
    return false;
  }
  // Twice in a row: an updater between its open and its flock is not taken for gone.
  if (++stale_checks_ < 2) return false;
  stale_checks_ = 0;
  return ioctl(slave_fd_, TIOCNXCL) == 0;
}

void Port::on_closes(Time now) {
  if (!take_close_events()) return;
  exclusive_checks_until_ = now + std::chrono::milliseconds(200);
  next_exclusive_check_ = now;
  looks_left_ = kLeastLooks;
}

bool Port::looking(Time now) const {
  return now < exclusive_checks_until_ || looks_left_ > 0;
}

bool Port::tend_exclusive(Time now) {
  if (!looking(now) || now < next_exclusive_check_) return false;
  next_exclusive_check_ = now + std::chrono::milliseconds(2);
  if (looks_left_ > 0) --looks_left_;
  if (!release_stale_exclusive()) return false;
  exclusive_checks_until_ = now;
  looks_left_ = 0;
  return true;
}

std::optional<Port::Time> Port::exclusive_due(Time now) const {
  if (!looking(now)) return {};
  return next_exclusive_check_;
}

}  // namespace sim
