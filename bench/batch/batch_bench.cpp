// Prints how a batch (/all) of paced indicators fares against what each one's line allows.
//
// Starts N simulated indicators (default 16), each on its own pty paced at the wire rate, runs the real
// brae-update with /all on their ports (JSON lines), and prints:
//  - each update's wall time against its line's bound (as bench_update computes it), median and worst
//    (target: worst <= 1.02);
//  - the block turnaround (Z leaving to the next block's first byte) across all indicators: the median of
//    their medians and the worst of their p99s;
//  - the updater's CPU seconds per MiB of firmware sent in all, and its peak memory.
// With "lost", a device server that goes away for good after a second joins the batch (tests/support/
// lost_server.h): the indicators' figures are then to be compared with those of a run without it.
// Usage: bench_batch [N] [FIRMWARE_BYTES] [lost]
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

#include "payload/SizeRule.h"
#include "tests/support/lost_server.h"
#include "tests/support/payloads.h"
#include "tests/support/process.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The number after "key": in a JSON line (enough for the updater's flat result lines).
double Field(const std::string& line, const std::string& key) {
  const size_t at = line.find("\"" + key + "\":");
  return at == std::string::npos ? -1 : std::atof(line.c_str() + at + key.size() + 3);
}

double StatsField(const std::string& stats, const std::string& key) {
  const size_t at = stats.find(key + " ");
  return at == std::string::npos ? -1 : std::atof(stats.c_str() + at + key.size() + 1);
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 16;
  const size_t firmwareBytes = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 100000;
  const std::filesystem::path bin = std::filesystem::canonical("/proc/self/exe").parent_path() / "../bin";
  const std::string dir =
      std::filesystem::temp_directory_path() / ("brae-bench-batch-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir + "/ports");
  const std::string loader = testing_support::LoaderText(8704);
  const std::string image = testing_support::FirmwareImage(firmwareBytes);
  testing_support::WriteFile(dir + "/fw.bin", image);
  testing_support::WriteFile(dir + "/ld.s19", loader);

  std::vector<std::unique_ptr<testing_support::Process>> sims;
  std::vector<std::string> updaterArgs = {(bin / "brae-update").string(), "/all"};
  for (int n = 1; n <= count; ++n) {
    const std::string id = std::to_string(n);
    sims.push_back(std::make_unique<testing_support::Process>(
        std::vector<std::string>{(bin / "brae-indicator-sim").string(), "--link", dir + "/ports/com" + id,
                                 "--pace", "--quiet", "--stats", "--exit-after-update", "--timeout",
                                 "600000"},
        testing_support::Process::Env{}, dir, "/dev/null", dir + "/stats" + id + ".txt"));
    updaterArgs.insert(updaterArgs.end(), {"/p", "Com" + id});
  }
  for (int n = 1; n <= count; ++n) {
    while (!std::filesystem::is_symlink(dir + "/ports/com" + std::to_string(n))) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  std::unique_ptr<testing_support::LostServer> lost;
  if (argc > 3 && std::string(argv[3]) == "lost") {
    lost = std::make_unique<testing_support::LostServer>(1000);
    updaterArgs.insert(updaterArgs.end(), {"/p", lost->url()});
  }
  updaterArgs.insert(updaterArgs.end(), {"/i", "fw.bin", "ld.s19"});

  // The updater by hand, for its own resource use (wait4).
  setenv("BRAE_PORT_DIR", (dir + "/ports").c_str(), 1);
  setenv("BRAE_LOG_DIR", (dir + "/log").c_str(), 1);
  setenv("BRAE_CONSOLE", "json", 1);
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  std::vector<char*> cargs;
  for (auto& a : updaterArgs) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  const std::string outPath = dir + "/out.jsonl";
  posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
  pid_t pid = 0;
  const auto start = Clock::now();
  if (posix_spawn(&pid, cargs[0], &fa, nullptr, cargs.data(), environ) != 0) {
    std::perror("brae-update");
    return 1;
  }
  posix_spawn_file_actions_destroy(&fa);
  int status = 0;
  rusage usage{};
  // The lost server's port never ends by itself: the batch is ended once every indicator has its result.
  pid_t ended = 0;
  while (lost && (ended = wait4(pid, &status, WNOHANG, &usage)) == 0) {
    const std::string out = testing_support::ReadFile(outPath);
    int results = 0;
    for (size_t at = 0; (at = out.find("\"outcome\":\"updated\"", at)) != std::string::npos; ++at) ++results;
    if (results >= count) kill(pid, SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(results >= count ? 1000 : 20));
  }
  if (ended == 0) wait4(pid, &status, 0, &usage);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  for (auto& sim : sims) sim->Wait(std::chrono::seconds(10));

  // Each port's bound: the line's bytes at the rates they crossed, the erase and the scan's pause (as
  // bench_update); all ports begin together, so a port's time is from the program's start.
  const uint32_t announced = payload::AdjustFirmwareSize(static_cast<uint32_t>(image.size()));
  const double slowBytes = 5 + 1 + 6 + 3 + 6 + 5 + 4 + 6 + 4 + 6 + 4 + 6 + 11 + 1;
  const size_t blocks = announced / 1000;
  const double fastBytes = 5 + 1 + 7 + 1 + 4 + 1 + static_cast<double>(loader.size()) + 1 + 1 + 1 + 1 + 4 +
                           1 + static_cast<double>(announced + blocks) + static_cast<double>(blocks) + 1 + 2 +
                           1;
  const double bound = slowBytes * 10 / 9600 + fastBytes * 10 / 38400 + 0.300 + 0.200;

  const std::string out = testing_support::ReadFile(outPath);
  std::vector<double> ratios, medians, p99s;
  int updated = 0;
  size_t from = 0;
  for (size_t end; (end = out.find('\n', from)) != std::string::npos; from = end + 1) {
    const std::string line = out.substr(from, end - from);
    if (line.find("\"event\":\"result\"") == std::string::npos) continue;
    if (line.find("\"outcome\":\"updated\"") == std::string::npos) continue;
    ++updated;
    ratios.push_back(Field(line, "seconds") / bound);
  }
  for (int n = 1; n <= count; ++n) {
    const std::string stats = testing_support::ReadFile(dir + "/stats" + std::to_string(n) + ".txt");
    if (StatsField(stats, "median") >= 0) medians.push_back(StatsField(stats, "median"));
    if (StatsField(stats, "p99") >= 0) p99s.push_back(StatsField(stats, "p99"));
  }
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  const double mib = static_cast<double>(image.size()) * updated / 1048576.0;
  std::printf(
      "batch of %d paced indicators at 38400 baud (%zu-byte firmware, %zu-byte loader): %d updated, exit "
      "%d\n",
      count, image.size(), loader.size(), updated, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  std::printf("  wall %.3f s; line bound per update %.3f s\n", wall, bound);
  if (!ratios.empty()) {
    std::printf("  update / line bound: median %.4f, worst %.4f (target worst <= 1.02)\n", Median(ratios),
                *std::max_element(ratios.begin(), ratios.end()));
  }
  if (!medians.empty()) {
    std::printf("  block turnaround: median of medians %.3f ms, worst p99 %.3f ms\n", Median(medians),
                *std::max_element(p99s.begin(), p99s.end()));
  }
  std::printf("  updater CPU %.3f s = %.3f s per MiB sent (%.2f MiB); peak memory %ld MiB\n", cpu,
              mib > 0 ? cpu / mib : 0.0, mib, usage.ru_maxrss / 1024);
  std::fflush(stdout);
  std::filesystem::remove_all(dir);
  return 0;
}
