// Drives the real brae-indicator-sim process from the updater's side of a real pty: spawns it,
// opens the linked slave and writes and reads plain bytes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/process.h"

namespace simtest {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;
using Bytes = std::string;

inline std::string read_file(const std::string& path) {
  return testing_support::ReadFile(path);
}
using testing_support::TempDir;

class SimProcess {
 public:
  // Starts the simulator on a link in its own scratch directory; `args` come after --link.
  explicit SimProcess(std::vector<std::string> args, bool wait_for_link = true) {
    link = dir / "com4";
    transcript_path = dir / "transcript.txt";
    stderr_path = dir / "stderr.txt";
    std::vector<std::string> argv = {SIM_PATH, "--link", link, "--transcript", transcript_path};
    argv.insert(argv.end(), args.begin(), args.end());
    spawn(argv);
    if (wait_for_link) {
      auto until = std::chrono::steady_clock::now() + 5s;
      while (!std::filesystem::is_symlink(link) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(2ms);
    }
  }
  // Runs the simulator with exactly `argv` (no link added): for command-line checks.
  struct Raw {};
  SimProcess(Raw, std::vector<std::string> args) {
    stderr_path = dir / "stderr.txt";
    std::vector<std::string> argv = {SIM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    spawn(argv);
  }

  // The exit status, or -1 if it had not ended within `limit`.
  int wait_exit(Ms limit = 5000ms) { return process_->Wait(limit); }
  void signal(int sig) { process_->Signal(sig); }
  bool running() { return wait_exit(0ms) == -1; }
  std::string transcript() const { return read_file(transcript_path); }
  std::string errors() const { return read_file(stderr_path); }

  TempDir dir;
  std::string link, transcript_path, stderr_path;

 private:
  void spawn(const std::vector<std::string>& argv) {
    process_ = std::make_unique<testing_support::Process>(argv, testing_support::Process::Env{},
                                                          std::string(), "/dev/null", stderr_path);
  }
  std::unique_ptr<testing_support::Process> process_;
};

// The updater's end: the pty slave behind the link, raw 8N1.
class Line {
 public:
  explicit Line(const std::string& path, speed_t speed = B9600) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd_, TCSANOW, &t);
    set_rate(speed);
  }
  ~Line() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }

  void set_rate(speed_t speed) {
    termios t{};
    tcgetattr(fd_, &t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(fd_, TCSANOW, &t);
  }
  void software_flow_control() {
    termios t{};
    tcgetattr(fd_, &t);
    t.c_iflag |= IXON | IXOFF;
    tcsetattr(fd_, TCSANOW, &t);
  }

  void write(const Bytes& bytes) {
    std::size_t done = 0;
    auto until = std::chrono::steady_clock::now() + 5s;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (std::chrono::steady_clock::now() > until) {
        throw std::runtime_error("write to the simulator stalled");
      } else {
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, 10);
      }
    }
  }
  // Everything that arrives until `want` bytes are there or `limit` has passed.
  Bytes read(std::size_t want, Ms limit = 2000ms) {
    Bytes got;
    auto until = std::chrono::steady_clock::now() + limit;
    while (got.size() < want) {
      auto left = std::chrono::duration_cast<Ms>(until - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      if (p.revents & (POLLHUP | POLLERR)) hung_up = true;
      char buf[4096];
      ssize_t n = ::read(fd_, buf, std::min(sizeof buf, want - got.size()));
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
      if (n == 0 || (n < 0 && errno == EIO)) {
        hung_up = true;
        break;
      }
    }
    return got;
  }
  // Whatever arrives within `quiet`: for checking that nothing comes.
  Bytes read_for(Ms quiet) { return read(1 << 20, quiet); }
  // Sends a command and returns the answer of `want` bytes (less if it does not come in time).
  Bytes ask(const Bytes& command, std::size_t want, Ms limit = 2000ms) {
    write(command);
    return read(want, limit);
  }

  bool hung_up = false;

 private:
  int fd_ = -1;
};

inline std::string le32(std::uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}
inline std::string le16(std::uint16_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8)};
}

inline Bytes random_image(std::size_t n, unsigned seed) {
  Bytes b(n, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& c : b) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return b;
}

// A well-formed loader: header, three data records, count and start records.
inline const Bytes kLoader =
    "S00F000068656C6C6F202020202000003C\r\n"
    "S11F00007C0802A6900100049421FFF07C6C1B787C8C23783C6000003863000026\r\n"
    "S11F001C4BFFFFE5398000007D83637880010014382100107C0803A64E800020E9\r\n"
    "S111003848656C6C6F20776F726C642E0A0042\r\n"
    "S5030003F9\r\n"
    "S9030000FC\r\n";

}  // namespace simtest
