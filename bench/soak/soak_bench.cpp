// Soak: consecutive whole updates in one process against the unpaced simulated indicator, each with one fault
// drawn from a seeded list, and what the process holds before and after.
//
// Prints the updates confirmed, the wrong images (an image the indicator confirmed that is not the firmware;
// must be 0), the hangs (an update that did not end within its limit; must be 0), and this process's open
// file descriptors, threads and resident memory at the start and at the end (they must be flat). Usage:
// bench_soak [UPDATES (default 200)] [SEED (default 2026)]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/SerialThreadDef.h"
#include "payload/SizeRule.h"
#include "tests/sim/sim_harness.h"
#include "tests/support/payloads.h"
#include "toolkit/loop/LoopRuntime.h"

namespace {

struct NullWindow : engine::IReporter {
  void AppendLogLine(const std::string& text) override {
    if (getenv("SOAK_LOG")) std::fprintf(stderr, "%s\n", text.c_str());
  }
  void ApplyStatus(const std::string&) override {}
  void SetProgressPosition(int) override {}
  void SetProgressMax(int) override {}
  void SetProgressVisible(bool) override {}
};
struct NullDialog : engine::IErrorDialog {
  void ShowErrorMessage(uint32_t) override {}
  void Hide() override {}
};

size_t Entries(const char* dir) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

long RssKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

void PrintHoldings(const char* when) {
  std::printf("%-6s open fds %zu, threads %zu, RSS %ld KiB\n", when, Entries("/proc/self/fd"),
              Entries("/proc/self/task"), RssKiB());
}

// The faults an update may meet; the images the simulator confirms are compared byte for byte.
const std::vector<std::vector<std::string>> kFaults = {
    {},
    {"--answer-after", "1:{ZA1}"},
    {"--answer-after", "1:{SCPC}"},
    {"--answer-after", "1:{VFSH}"},
    {"--answer-after", "1:{VC}"},
    {"--answer-after", "1:{VW}"},
    {"--answer-after", "1:{FT}"},
    {"--rate", "38400", "--answer-after", "1:{FT}"},
    {"--vc", "2.00", "--answer-after", "1:{PS420004,424FFF}"},
    {"--answer-after", "1:{SEBX38400}"},
    {"--drop-ack", "3:^"},
    {"--answer-after", "1:{SEHA1}"},
    {"--answer-after", "1:{PM}"},
    {"--answer-after", "1:U"},
    {"--drop-ack", "1:W"},
    {"--drop-ack", "2:Z"},
    {"--drop-ack", "1:X"},
    {"--bad-crc-once"},
    {"--vanish-after", "8:700"},
    {"--vanish-after", "400:700"},
    {"--vanish-after", "2800:700"},
    {"--garble-prob", "0.00002"},
    {"--drop-prob", "0.00002"},
};

}  // namespace

int main(int argc, char** argv) {
  const int updates = argc > 1 ? std::atoi(argv[1]) : 200;
  const uint32_t limitMs =
      getenv("SOAK_LIMIT_MS") ? static_cast<uint32_t>(std::atoi(getenv("SOAK_LIMIT_MS"))) : 90000;
  const unsigned seed = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 2026;
  tk::LoopRuntime rt{tk::LoopRuntime::Clock::Real};
  tk::Install(&rt);
  rt.SetMessageBoxHandler([](const std::string&, const std::string&) {});

  const std::string firmware = testing_support::FirmwareImage(3002, 5);
  const std::string loader = testing_support::LoaderText();
  engine::BufferPayload loaderSource(reinterpret_cast<const uint8_t*>(loader.data()), loader.size());
  engine::BufferPayload firmwareSource(reinterpret_cast<const uint8_t*>(firmware.data()), firmware.size());
  const std::string imagePath = "/tmp/brae-soak-image-" + std::to_string(getpid());
  std::mt19937 rng(seed);
  std::map<size_t, int> drawn;

  PrintHoldings("start");
  std::fflush(stdout);
  int confirmed = 0, wrong = 0, hangs = 0;
  const auto began = std::chrono::steady_clock::now();
  for (int i = 0; i < updates; ++i) {
    const size_t which = rng() % kFaults.size();
    ++drawn[which];
    std::vector<std::string> args = kFaults[which];
    args.insert(args.end(), {"--image-out", imagePath, "--exit-after-update", "--seed",
                             std::to_string(rng() % 1000 + 1)});
    std::filesystem::remove(imagePath);
    simtest::SimProcess sim(args);
    setenv("BRAE_PORT_DIR", sim.dir.path.c_str(), 1);
    bool finished = false;
    NullWindow window;
    NullDialog dialog;
    {
      engine::TSerialThread e(&window, &dialog);
      e.Start(0);
      e.OnFinished = [&](engine::TSerialThread*) { finished = true; };
      e.FirmwareSize = payload::AdjustFirmwareSize(static_cast<uint32_t>(firmware.size()));
      e.LoaderSize = static_cast<uint32_t>(loader.size());
      e.LoaderSource = &loaderSource;
      e.FirmwareSource = &firmwareSource;
      if (!rt.RunUntil([&] { return finished; }, limitMs)) {
        ++hangs;
        std::printf("hang: update %d, fault %zu\n", i + 1, which);
      }
      if (finished && e.Succeeded) {
        const std::string image = simtest::read_file(imagePath);
        if (image == firmware) {
          ++confirmed;
        } else {
          ++wrong;
          std::printf("wrong image: update %d, fault %zu (%zu bytes)\n", i + 1, which, image.size());
        }
      }
      e.Finish();
    }
    rt.RunUntil([] { return tk::Thread::WaitForDetachedThreads(0); }, 5000);
    std::fflush(stdout);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::filesystem::remove(imagePath);
  unsetenv("BRAE_PORT_DIR");

  std::printf("updates %d in %.0f s (seed %u, %zu kinds of fault, each drawn %d to %d times)\n", updates,
              seconds, seed, kFaults.size(),
              drawn.empty() ? 0
                            : std::min_element(drawn.begin(), drawn.end(),
                                               [](auto& a, auto& b) { return a.second < b.second; })
                                  ->second,
              drawn.empty() ? 0 : std::max_element(drawn.begin(), drawn.end(), [](auto& a, auto& b) {
                                    return a.second < b.second;
                                  })->second);
  std::printf("confirmed %d, wrong images %d, hangs %d\n", confirmed, wrong, hangs);
  PrintHoldings("end");
  tk::Install(nullptr);
  return 0;
}
