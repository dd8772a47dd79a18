// A real device server for tests: ser2net serving one device (a pseudo-terminal's slave) with the telnet
// com-port option on a free TCP port of 127.0.0.1. It runs in the foreground as our child; stopping it ends
// that child by its PID (SIGTERM, then SIGKILL after a bound), and it can start again on the same port. Its
// configuration is the one docs/remote.md recommends: without chardelay, ser2net holds each answer from the
// line about a millisecond or more before passing it on, which every block acknowledgement waits out.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "tests/support/files.h"
#include "tests/support/process.h"

namespace testing_support {

class Ser2net {
 public:
  static constexpr const char* kProgram = "/usr/sbin/ser2net";

  // Serves `device` with the line first set to `line` (ser2net's "9600n81" form) once started.
  explicit Ser2net(std::string device, std::string line = "9600n81")
      : device_(std::move(device)), line_(std::move(line)), port_(FreePort()) {}
  ~Ser2net() { Stop(); }
  Ser2net(const Ser2net&) = delete;
  Ser2net& operator=(const Ser2net&) = delete;

  static bool Installed() { return ::access(kProgram, X_OK) == 0; }

  // Starts it (again, on the same port) and waits until the port accepts. False when it did not within 5 s.
  bool Start() {
    Stop();
    WriteFile(dir_ / "ser2net.yaml", "connection: &line\n  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                                         std::to_string(port_) + "\n  connector: serialdev," + device_ + "," +
                                         line_ + ",local\n  options:\n    chardelay: false\n");
    // -n: foreground, -d: debug to stdout, -u: no UUCP lock files, -P: its PID file in our folder.
    process_ =
        std::make_unique<Process>(std::vector<std::string>{kProgram, "-n", "-d", "-u", "-P",
                                                           dir_ / "ser2net.pid", "-c", dir_ / "ser2net.yaml"},
                                  Process::Env{}, dir_.path, dir_ / "out.txt", dir_ / "err.txt");
    return WaitUntil([this] { return Accepts(); }, std::chrono::seconds(5));
  }
  // Ends it: SIGTERM, SIGKILL when it has not ended within 2 s.
  void Stop() {
    if (!process_) return;
    process_->Signal(SIGTERM);
    if (process_->Wait(std::chrono::seconds(2)) < 0) {
      process_->Signal(SIGKILL);
      process_->Wait(std::chrono::seconds(2));
    }
    process_.reset();
  }
  // Ends it at once, as a crash or a power cut of the device server would.
  void Kill() {
    if (!process_) return;
    process_->Signal(SIGKILL);
    process_->Wait(std::chrono::seconds(2));
    process_.reset();
  }

  uint16_t port() const { return port_; }
  std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
  // What it printed, for a failing test's message.
  std::string Log() const { return ReadFile(dir_ / "out.txt") + ReadFile(dir_ / "err.txt"); }

  // A port of 127.0.0.1 that nothing listens on now.
  static uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      port = ntohs(a.sin_port);
    }
    ::close(fd);
    return port;
  }

 private:
  // Whether it listens on its port, read from the kernel's socket table: a trial connection would open the
  // line and hold it for a moment, refusing the test's own connection meanwhile ("Port already in use").
  bool Accepts() const {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port_);
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    while (std::getline(tcp, line)) {
      std::istringstream fields(line);
      std::string slot, address, remote, state;
      if (fields >> slot >> address >> remote >> state && address == local && state == "0A") return true;
    }
    return false;
  }

  TempDir dir_;
  std::string device_, line_;
  uint16_t port_;
  std::unique_ptr<Process> process_;
};

}  // namespace testing_support
