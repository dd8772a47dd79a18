// Helpers of the updater's program tests: scratch directories, files, payload buffers and files, and the
// updater and the simulated indicator as processes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/files.h"

extern char** environ;

namespace apptest {

using namespace std::chrono_literals;

using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

// Random bytes with no 0xFF at the end, so the size rule counts them all.
inline std::string FirmwareImage(size_t size, unsigned seed = 7) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  if (!s.empty()) s.back() = 0x42;
  return s;
}

// A loader the simulated indicator accepts: sound S1 records and an S9 end record, CR LF line ends.
inline std::string LoaderText(size_t dataBytes = 512) {
  std::string out;
  char buf[8];
  for (size_t a = 0; a < dataBytes; a += 32) {
    const size_t n = std::min<size_t>(32, dataBytes - a);
    const unsigned addr = 0x1000 + static_cast<unsigned>(a);
    std::vector<unsigned> body = {static_cast<unsigned>(n + 3), addr >> 8, addr & 0xFF};
    for (size_t i = 0; i < n; ++i) body.push_back(static_cast<unsigned>((a + i) * 7 & 0xFF));
    unsigned sum = 0;
    out += "S1";
    for (unsigned b : body) {
      std::snprintf(buf, sizeof buf, "%02X", b);
      out += buf;
      sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X", ~sum & 0xFF);
    out += buf;
    out += "\r\n";
  }
  return out + "S9030000FC\r\n";
}

inline std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  if (start != text.size()) lines.push_back(text.substr(start) + "<no CR LF>");
  return lines;
}

// A child process with its own environment changes and working directory; output captured to files.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::map<std::string, std::optional<std::string>>& env,
          const std::string& cwd, const std::string& outPath, const std::string& errPath)
      : out_(outPath), err_(errPath) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
      const std::string kv = *e;
      const size_t eq = kv.find('=');
      if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : env) {
      if (v) {
        vars[k] = *v;
      } else {
        vars.erase(k);
      }
    }
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : vars) envStrings.push_back(k + "=" + v);
    std::vector<char*> cenv;
    for (auto& s : envStrings) cenv.push_back(s.data());
    cenv.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> cargv;
    for (auto& a : args) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    const int rc = posix_spawn(&pid_, args[0].c_str(), &fa, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
  }
  ~Process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // The exit code (128 + signal when killed), or -1 if it has not ended within `limit`.
  int Wait(std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (pid_ > 0) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() >= until) return -1;
      std::this_thread::sleep_for(5ms);
    }
    return status_;
  }
  void Signal(int signo) {
    if (pid_ > 0) kill(pid_, signo);
  }
  std::string Out() const { return ReadFile(out_); }
  std::string Err() const { return ReadFile(err_); }

 private:
  std::string out_, err_;
  pid_t pid_ = -1;
  int status_ = -1;
};

// Waits until `pred` holds or `limit` has passed.
template <typename Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

}  // namespace apptest
