#include "app/SignalBridge.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <stdexcept>

namespace app {

namespace {

std::atomic<int> g_writeFd{-1};

void Handler(int signo) {
  const int saved = errno;
  const int fd = g_writeFd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const unsigned char byte = static_cast<unsigned char>(signo);
    // A full socket already holds a wake-up; losing this one changes nothing.
    [[maybe_unused]] const ssize_t n = write(fd, &byte, 1);
  }
  errno = saved;
}

constexpr int kSignals[] = {SIGINT, SIGTERM};

}  // namespace

SignalBridge::SignalBridge(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds_) != 0) {
    throw std::runtime_error("cannot create the signal socket pair");
  }
  g_writeFd.store(fds_[0]);
  notifier_ = std::make_unique<QSocketNotifier>(fds_[1], QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Drain(); });
  struct sigaction sa {};
  sa.sa_handler = Handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int signo : kSignals) sigaction(signo, &sa, nullptr);
}

SignalBridge::~SignalBridge() {
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  for (int signo : kSignals) sigaction(signo, &sa, nullptr);
  g_writeFd.store(-1);
  notifier_.reset();
  close(fds_[0]);
  close(fds_[1]);
}

void SignalBridge::Drain() {
  unsigned char bytes[16];
  for (;;) {
    const ssize_t n = read(fds_[1], bytes, sizeof bytes);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (onSignal_) onSignal_(bytes[i]);
    }
  }
}

}  // namespace app
