// Prints the CPU that brae-update spends while it waits for an indicator that never answers: once with no
// port at all, once with 25 ports that stay silent. A program that waits sleeps in its event loop between
// the port scan's pauses and its timers; the target is under 1% of one core.
//
// Each run starts brae-update on the console with a private port directory, lets it wait, ends it (by its
// process id) and reads its CPU time from the kernel's account of the ended child.
// Usage: bench_idle [seconds]   (default 10 per run)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/payloads.h"
#include "tests/support/pty.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
  double wallS = 0, cpuS = 0;
  bool ran = false;
};

Figures RunOne(const testing_support::TempDir& dir, int seconds) {
  const std::string ports = dir / "ports", log = dir / "log";
  std::vector<std::string> env = {"BRAE_CONSOLE=1", "BRAE_PORT_DIR=" + ports, "BRAE_LOG_DIR=" + log};
  // The caller's environment, without a display (the console is wanted) or settings of the program's own.
  const auto Dropped = [](const std::string& var) {
    for (const char* drop : {"BRAE_", "DISPLAY=", "WAYLAND_DISPLAY="}) {
      if (var.rfind(drop, 0) == 0) return true;
    }
    return false;
  };
  for (char** e = environ; *e; ++e) {
    if (!Dropped(*e)) env.push_back(*e);
  }
  const std::vector<std::string> args = {BRAE_UPDATE, "/i", dir / "fw.bin", dir / "b.s19"};
  std::vector<char*> argv, envp;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  const std::string out = dir / "out.txt";
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  pid_t pid = -1;
  const auto start = Clock::now();
  const int rc = posix_spawn(&pid, BRAE_UPDATE, &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  Figures f;
  if (rc != 0) return f;
  // Still waiting at the end, or the figure is of something else.
  int status = 0;
  rusage usage{};
  const auto until = start + std::chrono::seconds(seconds);
  while (Clock::now() < until) {
    if (wait4(pid, &status, WNOHANG, &usage) == pid) {
      std::fprintf(stderr, "  brae-update ended by itself; its output:\n%s\n",
                   testing_support::ReadFile(out).c_str());
      return f;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  wait4(pid, &status, 0, &usage);
  f.wallS = std::chrono::duration<double>(Clock::now() - start).count();
  f.cpuS = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  f.ran = true;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  std::printf("brae-update waiting for an indicator, %d s a run (target: under 1%% of a core)\n", seconds);
  for (const int silent : {0, 25}) {
    testing_support::TempDir dir;
    std::filesystem::create_directories(dir / "ports");
    testing_support::WriteFile(dir / "fw.bin", testing_support::FirmwareImage(20001));
    testing_support::WriteFile(dir / "b.s19", testing_support::LoaderText());
    std::vector<std::unique_ptr<testing_support::Pty>> ptys;
    for (int n = 1; n <= silent; ++n) {
      ptys.push_back(std::make_unique<testing_support::Pty>());
      std::filesystem::create_symlink(ptys.back()->path(), dir / ("ports/com" + std::to_string(n)));
    }
    const Figures f = RunOne(dir, seconds);
    if (!f.ran) {
      std::printf("  %2d silent ports: no figure\n", silent);
      continue;
    }
    std::printf("  %2d silent ports: %.3f s CPU in %.1f s: %.2f%% of a core\n", silent, f.cpuS, f.wallS,
                100.0 * f.cpuS / f.wallS);
  }
  return 0;
}
