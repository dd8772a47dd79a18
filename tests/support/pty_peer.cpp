// Test-only far side for the Windows tests under Wine: pseudo-terminals linked as DIR/comN (where the test
// prefix's COM ports lead) that send every byte back. A test steers a line through files beside the links:
// "unplug-comN" closes it as a pulled cable would, "replug-comN" brings a new one to the same link. (Not
// "comN.unplug": to Windows, a name that starts with a device name and a dot is that device.)
//
//   brae-pty-peer --start DIR N...   starts the peer in the background (ending one that runs for DIR),
//   returns
//                                    once every link is there
//   brae-pty-peer --stop DIR         ends it (the links go with it)
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;

struct Line {
  std::string dir, name;
  std::string link() const { return dir + "/" + name; }
  int master = -1, slave = -1;

  bool Plug() {
    char name[128] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return false;
    // Raw from the start: an echoing line discipline would send the bytes round forever.
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    const std::string temp = dir + "/new-" + this->name;
    ::unlink(temp.c_str());
    return ::symlink(name, temp.c_str()) == 0 && ::rename(temp.c_str(), link().c_str()) == 0;
  }
  void Unplug() {
    // Our own slave goes too, so the far side sees the hang-up.
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
    master = slave = -1;
  }
  // Sends back what has arrived. Bytes that nobody takes within a moment (the port was closed) are dropped,
  // so the peer never stalls.
  void Echo() {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) return;
      for (ssize_t done = 0; done < n;) {
        const ssize_t w = ::write(master, buf + done, static_cast<size_t>(n - done));
        if (w > 0) {
          done += w;
          continue;
        }
        pollfd p{master, POLLOUT, 0};
        if (::poll(&p, 1, 100) <= 0) break;
      }
    }
  }
};

bool Take(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

int Serve(const std::string& dir, const std::vector<std::string>& numbers) {
  std::signal(SIGTERM, [](int) { g_stop = 1; });
  std::vector<Line> lines;
  for (const std::string& n : numbers) {
    lines.push_back({dir, "com" + n});
    if (!lines.back().Plug()) return 1;
  }
  while (!g_stop) {
    std::vector<pollfd> fds;
    for (Line& l : lines) fds.push_back({l.master, POLLIN, 0});
    ::poll(fds.data(), fds.size(), 20);
    for (Line& l : lines) {
      if (l.master >= 0) l.Echo();
      if (Take(l.dir + "/unplug-" + l.name)) l.Unplug();
      if (Take(l.dir + "/replug-" + l.name) && l.master < 0 && !l.Plug()) return 1;
    }
  }
  for (Line& l : lines) {
    l.Unplug();
    ::unlink(l.link().c_str());
  }
  ::unlink((dir + "/peer.pid").c_str());
  return 0;
}

// Whether `pid` runs this program: a pid file left by a peer that died without removing it (SIGKILL, a
// reboot) may name some other process by now, which must not be signalled. A rebuilt program's old peers
// still count (their executable reads "... (deleted)").
bool IsPeer(pid_t pid) {
  std::error_code ec;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  std::string other = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
  const std::string deleted = " (deleted)";
  if (other.size() > deleted.size() &&
      other.compare(other.size() - deleted.size(), deleted.size(), deleted) == 0) {
    other.resize(other.size() - deleted.size());
  }
  return !ec && !self.empty() && other == self;
}

// Ends the peer of DIR, if one runs, and returns once it has removed its links and pid file.
void Stop(const std::string& pidFile) {
  std::ifstream in(pidFile);
  pid_t pid = 0;
  if (!(in >> pid) || pid <= 0 || !IsPeer(pid)) {
    ::unlink(pidFile.c_str());
    return;
  }
  ::kill(pid, SIGTERM);
  // Done once its pid file is gone, which it removes last (a zombie that nobody reaps still answers kill).
  for (int i = 0; i < 200 && ::access(pidFile.c_str(), F_OK) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::unlink(pidFile.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: brae-pty-peer --start DIR N... | --stop DIR\n");
    return 2;
  }
  const std::string mode = argv[1], dir = argv[2], pidFile = dir + "/peer.pid";
  if (mode == "--stop") {
    Stop(pidFile);
    return 0;
  }
  if (mode != "--start") return 2;
  // One peer per folder: a second one (a repeated test run starts the fixture again) would take the links and
  // the steering files from under the first and outlive every --stop, which ends only the one it knows.
  Stop(pidFile);
  const std::vector<std::string> numbers(argv + 3, argv + argc);
  const pid_t child = ::fork();
  if (child < 0) return 1;
  if (child == 0) {
    // Away from the caller's session and output, which ctest waits on.
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
    ::_exit(Serve(dir, numbers));
  }
  std::ofstream(pidFile) << child << "\n";
  for (int i = 0; i < 500; ++i) {
    bool all = true;
    for (const std::string& n : numbers) all = all && ::access((dir + "/com" + n).c_str(), F_OK) == 0;
    if (all) return 0;
    if (::waitpid(child, nullptr, WNOHANG) == child) {
      ::unlink(pidFile.c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return 1;
}
