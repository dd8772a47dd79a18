// The event loop around the simulated device. It moves bytes between the line and the device through the
// line model (line.h) and the faults (faults.h), and keeps the turnaround statistics (stats.h).
#include "loop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "device.h"
#include "faults.h"
#include "line.h"
#include "options.h"
#include "port.h"
#include "stats.h"
#include "transcript.h"

namespace sim {
namespace {

volatile sig_atomic_t g_stop_signal = 0;

bool write_file_atomically(const std::string& path, const std::vector<std::uint8_t>& data,
                           std::string& error) {
  std::string tmp = path + ".tmp-" + std::to_string(getpid());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot create " + tmp + ": " + std::strerror(errno);
    return false;
  }
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = "cannot write " + tmp + ": " + std::strerror(errno);
      close(fd);
      unlink(tmp.c_str());
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  if (close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

class Simulator {
 public:
  Simulator(const Options& o, Transcript& log)
      : o_(o),
        log_(log),
        dev_(
            o.dev, log, [this](std::string_view bytes) { queue(bytes); },
            [this](const std::vector<std::uint8_t>& image) { confirmed(image); }),
        faults_(o),
        rx_rng_(o.seed),
        tx_rng_(o.seed ^ 0x5DEECE66DULL),
        applied_rate_(o.dev.start_rate) {}

  int run();

 private:
  struct Queued {
    std::uint8_t byte;
    int rate;  // the device's rate when it sent the byte
  };

  bool open_line(Time now);
  void queue(std::string_view bytes);
  void confirmed(const std::vector<std::uint8_t>& image);
  void read_line(Time now);
  void take(const std::uint8_t* buf, std::size_t n, Time now);
  void write_line(Time now);
  void vanish(Time now);
  void send_xoff(Time now);
  void send_xon(Time now);
  std::size_t pending_rx() const;
  void linger();

  const Options& o_;
  Transcript& log_;
  Device dev_;
  Faults faults_;
  std::unique_ptr<Port> port_;
  std::deque<Queued> tx_;
  std::vector<std::uint8_t> wire_;  // already through the line model, waiting for the pty to take it
  // One generator per direction, so what happens to a byte depends only on the bytes before it in
  // the same direction, not on how reads and writes interleave.
  std::mt19937_64 rx_rng_;
  std::mt19937_64 tx_rng_;
  long long rx_count_ = 0;
  bool vanished_ = false;
  Time comeback_{};
  Pacer rx_pace_;  // towards the device
  Pacer tx_pace_;
  int applied_rate_;
  bool io_error_ = false;
  bool want_pollout_ = false;
  bool hung_up_ = false;
  TurnaroundStats stats_;
  std::optional<Time> xon_at_;  // a held XOFF ends then
};

bool Simulator::open_line(Time now) {
  std::string error;
  if (!o_.link.empty()) {
    port_ = Port::open_pty(o_.link, dev_.rate(), error);
  } else {
    port_ = Port::open_tty(o_.device, dev_.rate(), error);
    applied_rate_ = dev_.rate();
  }
  if (!port_) {
    std::fprintf(stderr, "brae-indicator-sim: %s\n", error.c_str());
    return false;
  }
  log_.log(now,
           (o_.link.empty() ? "serving " + o_.device : "line at " + o_.link + " -> " + port_->slave_name()) +
               ", device in " + dev_.mode_name() + " at " + std::to_string(dev_.rate()));
  rx_pace_.restart(now);
  tx_pace_.restart(now);
  if (faults_.xoff_due(rx_count_)) send_xoff(now);
  return true;
}

void Simulator::queue(std::string_view bytes) {
  if (!port_) {
    log_.log(Clock::now(), "line down: " + std::to_string(bytes.size()) + " byte(s) lost");
    return;
  }
  for (char c : bytes) tx_.push_back({static_cast<std::uint8_t>(c), dev_.rate()});
  if (bytes == "Z") stats_.z_queued();
}

void Simulator::confirmed(const std::vector<std::uint8_t>& image) {
  if (o_.image_out.empty()) return;
  std::string error;
  if (write_file_atomically(o_.image_out, image, error)) {
    log_.log(Clock::now(), "image (" + std::to_string(image.size()) + " bytes) written to " + o_.image_out);
  } else {
    log_.log(Clock::now(), error);
    std::fprintf(stderr, "brae-indicator-sim: %s\n", error.c_str());
    io_error_ = true;
  }
}

std::size_t Simulator::pending_rx() const {
  int n = 0;
  if (!port_ || ioctl(port_->fd(), FIONREAD, &n) != 0 || n < 0) return 0;
  return static_cast<std::size_t>(n);
}

void Simulator::read_line(Time now) {
  std::uint8_t buf[4096];
  std::optional<int> line_rate = port_->line_rate();
  std::size_t want = sizeof buf;
  const int rate = line_rate.value_or(dev_.rate());
  if (o_.pace) want = rx_pace_.budget(now, rate, want);
  if (want == 0) return;
  ssize_t n = read(port_->fd(), buf, want);
  if (n == 0 || (n < 0 && errno == EIO)) {
    hung_up_ = true;  // a real device that went away; a pty never gets here, as we hold its slave
    return;
  }
  if (o_.pace) {
    // Bytes budgeted but not there were never on the wire.
    const std::size_t got = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (got < want) rx_pace_.give_back(rate, want - got);
    if (pending_rx() == 0) rx_pace_.go_idle();
  }
  if (n > 0) take(buf, static_cast<std::size_t>(n), now);
}

void Simulator::take(const std::uint8_t* buf, std::size_t n, Time now) {
  const auto reaching = faults_.vanish_within(rx_count_, n);
  const bool vanish_now = reaching.has_value();
  if (vanish_now) n = *reaching;
  std::optional<int> line_rate = port_->line_rate();
  // The line's doings are logged before what the device makes of the bytes, so the transcript
  // reads in cause-and-effect order. A rate switch inside the chunk ends the segment early; the
  // generator is then replayed so each byte still gets the draws it would get on its own.
  std::size_t i = 0;
  while (i < n) {
    const int rate = dev_.rate();
    const bool mismatch = port_->is_pty() && line_rate != rate;
    auto line_model = [&](std::uint8_t& b) {
      if (mismatch) b = garbage(rx_rng_);  // a UART at the wrong rate samples noise
      return faults_.on_byte(b, rx_rng_);
    };
    const auto rng_before = rx_rng_;
    std::vector<std::pair<std::uint8_t, std::size_t>> out;  // byte, index in the chunk
    std::size_t dropped = 0, flipped = 0;
    for (std::size_t j = i; j < n; ++j) {
      std::uint8_t b = buf[j];
      std::uint8_t sent = mismatch ? 0 : b;
      if (!line_model(b)) {
        ++dropped;
        continue;
      }
      if (!mismatch && b != sent) ++flipped;
      out.emplace_back(b, j);
    }
    if (mismatch)
      log_.log(now, "received " + std::to_string(n - i) + " byte(s) sent at " + rate_text(line_rate) +
                        " while the device is at " + std::to_string(rate) + ": garbage");
    if (dropped || flipped)
      log_.log(now, "fault: " + std::to_string(dropped) + " received byte(s) lost, " +
                        std::to_string(flipped) + " garbled");
    std::size_t stop = n;
    for (auto [b, j] : out) {
      dev_.receive({&b, 1}, now);
      if (dev_.rate() != rate) {
        stop = j + 1;
        break;
      }
    }
    if (stop < n) {
      rx_rng_ = rng_before;
      for (std::size_t j = i; j < stop; ++j) {
        std::uint8_t b = buf[j];
        line_model(b);
      }
    }
    i = stop;
  }
  rx_count_ += static_cast<long long>(n);
  dev_.flush_stray(now);
  if (faults_.xoff_due(rx_count_)) send_xoff(now);
  if (vanish_now) vanish(now);
}

void Simulator::send_xoff(Time now) {
  std::uint8_t xoff = 0x13;
  if (write(port_->fd(), &xoff, 1) != 1) return;
  if (o_.xon_ms) {
    xon_at_ = now + std::chrono::milliseconds(*o_.xon_ms);
    log_.log(now, "fault: XOFF sent after " + std::to_string(rx_count_) + " byte(s), XON in " +
                      std::to_string(*o_.xon_ms) + " ms");
  } else {
    log_.log(now, "fault: XOFF sent after " + std::to_string(rx_count_) + " byte(s), no XON will follow");
  }
}

void Simulator::send_xon(Time now) {
  xon_at_.reset();
  std::uint8_t xon = 0x11;
  if (port_ && write(port_->fd(), &xon, 1) == 1)
    log_.log(now, "fault: XON sent after " + std::to_string(rx_count_) + " byte(s) received");
}

void Simulator::vanish(Time now) {
  vanished_ = true;
  comeback_ = now + std::chrono::milliseconds(o_.vanish_ms);
  std::size_t lost = tx_.size() + wire_.size();
  tx_.clear();
  wire_.clear();
  port_.reset();
  log_.log(now, "fault: line gone after " + std::to_string(rx_count_) + " byte(s) received (" +
                    std::to_string(lost) + " unsent byte(s) lost); back in " + std::to_string(o_.vanish_ms) +
                    " ms");
}

void Simulator::write_line(Time now) {
  std::optional<int> line_rate = port_->line_rate();
  std::size_t n = o_.pace ? tx_pace_.budget(now, dev_.rate(), tx_.size()) : tx_.size();
  std::size_t garbled = 0, dropped = 0, flipped = 0;
  int sent_rate = 0;
  for (std::size_t i = 0; i < n; ++i) {
    Queued q = tx_.front();
    tx_.pop_front();
    std::uint8_t b = q.byte;
    if (port_->is_pty() && line_rate != q.rate) {
      b = garbage(tx_rng_);
      ++garbled;
      sent_rate = q.rate;
    }
    std::uint8_t before = b;
    if (!faults_.on_byte(b, tx_rng_)) {
      ++dropped;
      continue;
    }
    if (b != before) ++flipped;
    wire_.push_back(b);
  }
  if (garbled)
    log_.log(now, "sent " + std::to_string(garbled) + " byte(s) at " + std::to_string(sent_rate) +
                      " while the line is at " + rate_text(line_rate) + ": garbage");
  if (dropped || flipped)
    log_.log(now, "fault: " + std::to_string(dropped) + " sent byte(s) lost, " + std::to_string(flipped) +
                      " garbled");
  want_pollout_ = false;
  while (!wire_.empty()) {
    ssize_t w = write(port_->fd(), wire_.data(), wire_.size());
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      want_pollout_ = true;  // the other end is not reading (or is held by XOFF); wait for room
      break;
    }
    wire_.erase(wire_.begin(), wire_.begin() + w);
  }
  if (tx_.empty()) tx_pace_.go_idle();
  if (tx_.empty() && wire_.empty()) stats_.tx_drained(now);
}

void Simulator::linger() {
  // Closing the master hangs the slave up at once, and unread answers with it: give the updater a
  // moment to read the last one.
  Time until = Clock::now() + std::chrono::seconds(2);
  usleep(30000);
  while (port_ && port_->unread_by_peer() > 0 && Clock::now() < until) usleep(5000);
  if (port_ && !port_->is_pty()) tcdrain(port_->fd());
}

int Simulator::run() {
  Time start = log_.start();
  if (!open_line(start)) return 3;
  std::optional<Time> end;
  if (o_.timeout_ms) end = start + std::chrono::milliseconds(*o_.timeout_ms);

  sigset_t block, wait_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGHUP);
  sigprocmask(SIG_BLOCK, &block, &wait_mask);
  sigdelset(&wait_mask, SIGINT);
  sigdelset(&wait_mask, SIGTERM);
  sigdelset(&wait_mask, SIGHUP);

  for (;;) {
    Time now = Clock::now();
    if (g_stop_signal) {
      log_.log(now, std::string("stopped by ") + strsignal(g_stop_signal));
      break;
    }
    if (end && now >= *end) {
      log_.log(now, "timeout, stopping");
      break;
    }
    if (io_error_) break;
    if (vanished_ && now >= comeback_) {
      vanished_ = false;
      if (!open_line(now)) return 3;
      log_.log(now, "fault: line back");
    }
    dev_.poll(now);
    if (xon_at_ && now >= *xon_at_) send_xon(now);
    if (port_ && port_->tend_exclusive(now))
      log_.log(now, "port closed by the updater: exclusive mode cleared so it can open it again");
    if (port_) {
      if (!tx_.empty() || !wire_.empty()) write_line(now);
      // On a real tty the device's UART is the tty: change it once the old rate's bytes are out.
      if (!port_->is_pty() && applied_rate_ != dev_.rate() && tx_.empty() && wire_.empty()) {
        tcdrain(port_->fd());
        port_->set_device_rate(dev_.rate());
        applied_rate_ = dev_.rate();
      }
    }
    if (o_.exit_after_update && dev_.confirmations() > 0 && tx_.empty() && wire_.empty()) {
      linger();
      log_.log(Clock::now(), "image confirmed, exiting");
      break;
    }

    Time wake = now + std::chrono::seconds(1);
    auto earlier = [&wake](Time t) { wake = std::min(wake, t); };
    if (auto d = dev_.deadline()) earlier(*d);
    if (end) earlier(*end);
    if (vanished_) earlier(comeback_);
    if (xon_at_) earlier(*xon_at_);
    pollfd pfds[2] = {{-1, 0, 0}, {-1, 0, 0}};
    pollfd& pfd = pfds[0];
    if (port_) {
      if (auto due = port_->exclusive_due(now)) earlier(*due);
    }
    if (port_) {
      pfds[1] = {port_->closes_fd(), POLLIN, 0};
      pfd.fd = port_->fd();
      int rx_rate = port_->line_rate().value_or(dev_.rate());
      const Time read_due = rx_pace_.due(rx_rate, pending_rx());
      bool can_read = !o_.pace || rx_pace_.idle() || now >= read_due;
      // After a Z, watch for the next block even while pacing holds the reads back, so the
      // turnaround is measured when the bytes arrive, not when the paced line takes them.
      if (can_read || stats_.awaiting()) pfd.events |= POLLIN;
      if (!can_read) earlier(read_due);
      if (want_pollout_) pfd.events |= POLLOUT;
      if (!tx_.empty() && !want_pollout_)
        earlier(o_.pace && !tx_pace_.idle() ? tx_pace_.due(dev_.rate(), tx_.size()) : now);
    }
    auto wait = std::max<Clock::duration>(wake - now, Clock::duration::zero());
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    int r = ppoll(pfds, 2, &ts, &wait_mask);  // negative fds are skipped
    if (r < 0 && errno != EINTR) {
      std::fprintf(stderr, "brae-indicator-sim: poll: %s\n", std::strerror(errno));
      return 3;
    }
    if (r > 0 && port_ && (pfd.revents & POLLIN)) stats_.bytes_arrived(Clock::now());
    if (r > 0 && port_ && (pfd.revents & (POLLIN | POLLHUP | POLLERR))) read_line(Clock::now());
    if (hung_up_ || (r > 0 && port_ && (pfd.revents & POLLNVAL))) {
      log_.log(Clock::now(), "the line hung up");
      std::fprintf(stderr, "brae-indicator-sim: %s hung up\n", port_->slave_name().c_str());
      return 3;
    }
    if (r > 0 && port_ && (pfds[1].revents & POLLIN)) port_->on_closes(Clock::now());
  }
  port_.reset();
  if (o_.stats) std::fputs(stats_.summary().c_str(), stderr);
  if (io_error_) return 3;
  return dev_.confirmations() > 0 ? 0 : 1;
}

}  // namespace

void request_stop(int sig) {
  g_stop_signal = sig;
}

int run_simulator(const Options& o, Transcript& log) {
  return Simulator(o, log).run();
}

}  // namespace sim
