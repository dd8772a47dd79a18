// Prints how close a whole update comes to what the serial line allows.
//
// Each run starts brae-indicator-sim on a pty (paced at the wire rate where asked), runs the update engine
// against it on the Qt event loop, and prints:
//  - wall time of the update / the line's bound: every byte that must cross the line (commands, loader, size,
//    blocks with markers, CRC, and the simulator's answers) at 10 bits per byte at the rate it crossed, plus
//    the simulator's erase time and the port scan's fixed 200 ms pause (target 1.02 or less);
//  - the turnaround from the simulator's Z leaving to the next block's first byte arriving (from its
//  --stats);
//  - the updater's CPU time per MiB of firmware.
// The same paced update runs once more through a real device server (ser2net, when installed) in front of the
// simulator's pty, named by its rfc2217:// URL: its ratio against the local one is the network's cost.
// Usage: bench_update [--quick]   (--quick skips the 4-minute run at 9600)
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/SerialThreadDef.h"
#include "payload/SizeRule.h"
#include "tests/support/payloads.h"
#include "tests/support/process.h"
#include "tests/support/ser2net.h"
#include "toolkit/qt/QtRuntime.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

struct NullWindow : engine::IReporter {
  void AppendLogLine(const std::string& text) override { log.push_back(text); }
  void ApplyStatus(const std::string& text) override {
    // The transfer proper starts here (after the loader and the erase).
    if (text.rfind("Sending new firmware.", 0) == 0) transferCpu = CpuSeconds();
  }
  void SetProgressPosition(int) override {}
  void SetProgressMax(int) override {}
  void SetProgressVisible(bool) override {}
  std::vector<std::string> log;
  double transferCpu = 0;
};
struct NullDialog : engine::IErrorDialog {
  void ShowErrorMessage(uint32_t code) override { std::fprintf(stderr, "  error dialog: code %u\n", code); }
  void Hide() override {}
};

struct Run {
  const char* name;
  size_t firmware;
  size_t loader;  // data bytes of the S-records: 8704 make about 20 KB of text
  bool pace;
  bool bootFlag;  // also: everything at 9600
  bool remote;    // through ser2net, by URL
};

// The last paced ratio, local and remote, for the comparison line.
double localRatio = 0, remoteRatio = 0;

void RunOne(const Run& run, const std::string& simPath) {
  const std::string dir = std::filesystem::temp_directory_path() / ("brae-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  setenv("BRAE_PORT_DIR", dir.c_str(), 1);
  const std::string statsPath = dir + "/sim-stderr.txt";
  std::vector<std::string> args = {simPath,   "--link",  dir + "/com1",
                                   "--quiet", "--stats", "--exit-after-update"};
  if (run.pace) args.push_back("--pace");
  // An image above 600000 bytes suits only an indicator that reports a large flash.
  if (run.firmware > 600000) args.insert(args.end(), {"--flash-size", "2048"});
  std::unique_ptr<testing_support::Process> sim;
  try {
    sim = std::make_unique<testing_support::Process>(args, testing_support::Process::Env{}, std::string(),
                                                     "/dev/null", statsPath);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return;
  }
  while (!std::filesystem::is_symlink(dir + "/com1"))
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  std::unique_ptr<testing_support::Ser2net> server;
  if (run.remote) {
    server =
        std::make_unique<testing_support::Ser2net>(std::filesystem::read_symlink(dir + "/com1").string());
    if (!server->Start()) {
      std::fprintf(stderr, "ser2net did not start: %s\n", server->Log().c_str());
      return;
    }
  }

  const std::string loader = testing_support::LoaderText(run.loader);
  const std::string image = testing_support::FirmwareImage(run.firmware);
  std::vector<uint8_t> loaderBuffer(64000, 0xFF), firmwareBuffer(1048576, 0xFF);
  std::memcpy(loaderBuffer.data(), loader.data(), loader.size());
  std::memcpy(firmwareBuffer.data(), image.data(), image.size());
  const uint32_t announced = payload::AdjustFirmwareSize(static_cast<uint32_t>(image.size()));
  engine::BufferPayload loaderSource(loaderBuffer.data(), loader.size());
  engine::BufferPayload firmwareSource(firmwareBuffer.data(), firmwareBuffer.size());

  NullWindow window;
  NullDialog dialog;
  bool finished = false;
  const double cpuBefore = CpuSeconds();
  const auto start = Clock::now();
  {
    engine::TSerialThread e(&window, &dialog);
    if (server) e.SetPortNames({server->url()});
    e.Start(run.bootFlag ? 1 : 0);
    e.OnFinished = [&](engine::TSerialThread*) { finished = true; };
    e.FirmwareSize = announced;
    e.LoaderSize = static_cast<uint32_t>(loader.size());
    e.LoaderSource = &loaderSource;
    e.FirmwareSource = &firmwareSource;
    while (!finished) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpuAfter = CpuSeconds();

    // The line's bound, with the simulator's default answers.
    const double fast = run.bootFlag ? 9600 : 38400;
    const double slowBytes = 5 + 1 + 6 + 3 + 6 + 5 + 4 + 6 + 4 + 6 + 4 + 6 + (run.bootFlag ? 0 : 11 + 1);
    const size_t blocks = announced / 1000;
    const double fastBytes = (run.bootFlag ? 0 : 5 + 1 + 7 + 1) + 4 + 1 + static_cast<double>(loader.size()) +
                             1 + 1 + 1 + 1 + 4 + 1 + static_cast<double>(announced + blocks) +
                             static_cast<double>(blocks) + 1 + 2 + 1;
    const double bound = slowBytes * 10 / 9600 + fastBytes * 10 / fast + 0.300 + 0.200;
    sim->Wait(std::chrono::minutes(1));
    std::string stats = testing_support::ReadFile(statsPath);
    if (!stats.empty() && stats.back() == '\n') stats.pop_back();
    std::printf("%s: %s (%zu-byte firmware, %zu-byte loader%s)\n", run.name,
                e.Succeeded ? "confirmed" : "FAILED", image.size(), loader.size(),
                run.pace ? ", paced" : ", unpaced");
    std::printf("  wall %.3f s", wall);
    if (run.pace) std::printf(", line bound %.3f s, ratio %.4f (target <= 1.02)", bound, wall / bound);
    if (run.pace && !run.bootFlag) (run.remote ? remoteRatio : localRatio) = wall / bound;
    if (run.remote && localRatio > 0) {
      std::printf("\n  through ser2net / local: %.4f (target <= 1.01)", remoteRatio / localRatio);
    }
    const double mib = static_cast<double>(image.size()) / 1048576.0;
    std::printf("\n  updater CPU %.3f s in all; firmware transfer %.3f s = %.3f s per MiB (target < 0.5)\n",
                cpuAfter - cpuBefore, cpuAfter - window.transferCpu, (cpuAfter - window.transferCpu) / mib);
    std::printf("  simulator %s\n", stats.c_str());
    std::fflush(stdout);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  QCoreApplication app(argc, argv);
  tk::QtRuntime rt;
  tk::Install(&rt);
  const std::string simPath =
      (std::filesystem::path(argv[0]).parent_path() / "../bin/brae-indicator-sim").string();
  const Run runs[] = {
      {"38400 baud, paced", 200000, 8704, true, false, false},
      {"38400 baud, paced, through ser2net", 200000, 8704, true, false, true},
      {"unpaced, 1 MiB", 1048570, 8704, false, false, false},
      {"9600 baud with the boot flag, paced", 200000, 8704, true, true, false},
  };
  for (const Run& run : runs) {
    if (quick && run.bootFlag) continue;
    if (run.remote && !testing_support::Ser2net::Installed()) {
      std::printf("%s: skipped, ser2net is not installed\n", run.name);
      continue;
    }
    RunOne(run, simPath);
  }
  tk::Thread::WaitForDetachedThreads(2000);
  tk::Install(nullptr);
  return 0;
}
