// The device's end of the line: a pseudo-terminal whose slave is linked where the updater looks for
// its COM port, or a real serial device.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace sim {

class Port {
 public:
  // A new pty, raw at `rate`, its slave linked at `link` (an existing symlink is replaced).
  static std::unique_ptr<Port> open_pty(const std::string& link, int rate, std::string& error);
  static std::unique_ptr<Port> open_tty(const std::string& path, int rate, std::string& error);
  ~Port();
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  int fd() const { return fd_; }  // nonblocking; read and write the line here
  bool is_pty() const { return slave_fd_ >= 0; }
  const std::string& slave_name() const { return slave_name_; }

  // The rate the other end has set: from the slave's settings on a pty; on a real tty our own.
  std::optional<int> line_rate() const;
  // On a real tty the device's UART is the tty itself; a pty only models the rate.
  void set_device_rate(int rate);
  // Bytes written by us and not yet read by the other end (pty only; 0 otherwise).
  int unread_by_peer() const;

  // The updater puts the slave in exclusive mode (TIOCEXCL). On a pty that mode outlives the
  // updater's close, so an unprivileged updater could never reopen its port. Once exclusive mode
  // is set but nobody holds a flock on the slave any more, the holder is gone: clear the mode.
  // Returns true when it did. closes_fd() becomes readable when someone closes the slave; call
  // take_close_events() then, and release_stale_exclusive() a few times shortly after.
  bool exclusive() const;
  bool release_stale_exclusive();
  int closes_fd() const { return notify_fd_; }
  bool take_close_events();

  // That upkeep, for the event loop. After each close of the slave the flock goes a moment after the close is
  // reported, so the mode is looked at every 2 ms for 200 ms, and at least five times.
  using Time = std::chrono::steady_clock::time_point;
  // closes_fd() is readable: starts looking again when someone has closed the slave.
  void on_closes(Time now);
  // Looks when a look is due; true when it cleared a stale mode now (the looking then stops).
  bool tend_exclusive(Time now);
  // When the next look is due, if one is.
  std::optional<Time> exclusive_due(Time now) const;

 private:
  Port() = default;
  int fd_ = -1;
  int slave_fd_ = -1;  // held open so the master never sees EIO while the updater reopens the port
  std::string slave_name_;
  std::string link_;
  int stale_checks_ = 0;
  Time next_exclusive_check_{};
  Time exclusive_checks_until_{};
  // A simulator that was not scheduled for the whole window still looks a few times once it runs.
  static constexpr int kLeastLooks = 5;
  int looks_left_ = 0;
  bool looking(Time now) const;
  int notify_fd_ = -1;  // inotify on the slave: tells when the updater closes it
};

std::optional<int> rate_of_speed(unsigned long speed);

}  // namespace sim
