// Two engines in one process share the one UI thread, each against its own simulated indicator on a pty
// that keeps the line's pace. While the first uploads a long loader, which waits for the line again and again,
// the second sends its firmware: every block acknowledgement must still be answered at once.
#include <cstdio>
#include <string>

#include "engine/SerialThreadDef.h"
#include "payload/SizeRule.h"
#include "tests/engine/harness.h"
#include "tests/sim/sim_harness.h"
#include "tests/support/payloads.h"
#include "toolkit/loop/LoopRuntime.h"

using namespace engine;
using engine_test::RecordingDialog;
using engine_test::RecordingWindow;

namespace {

// One engine, its simulator and its payloads.
struct Station {
  Station(const std::string& loader, const std::string& firmware)
      : sim({"--pace", "--stats", "--erase-ms", "50", "--exit-after-update"}),
        loaderText(loader),
        image(firmware),
        loaderSource(reinterpret_cast<const uint8_t*>(loaderText.data()), loaderText.size()),
        firmwareSource(reinterpret_cast<const uint8_t*>(image.data()), image.size()) {}

  void Start(std::function<void()> onFinished) {
    engine = std::make_unique<TSerialThread>(&window, &dialog);
    engine->SetPortNames({sim.link});
    engine->OnFinished = [this, onFinished](TSerialThread*) {
      finished = true;
      onFinished();
    };
    engine->FirmwareSize = payload::AdjustFirmwareSize(static_cast<uint32_t>(image.size()));
    engine->LoaderSize = static_cast<uint32_t>(loaderText.size());
    engine->LoaderSource = &loaderSource;
    engine->FirmwareSource = &firmwareSource;
    engine->Start(0);
  }
  bool Logged(const std::string& prefix) const {
    for (const auto& l : window.log) {
      if (l.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
  std::string Diagnose() const {
    std::string all;
    for (const auto& l : window.log) all += l + "\n";
    return all + "--- simulator ---\n" + sim.errors();
  }

  simtest::SimProcess sim;
  std::string loaderText, image;
  BufferPayload loaderSource, firmwareSource;
  RecordingWindow window;
  RecordingDialog dialog;
  std::unique_ptr<TSerialThread> engine;
  bool finished = false;
};

// The simulator's figures, from its "stats:" line: median and max of its Z -> next block times.
struct Turnaround {
  double median = -1, max = -1;
  size_t count = 0;
};
Turnaround ParseStats(const std::string& errors) {
  Turnaround t;
  const size_t at = errors.find("stats: Z -> next block, ");
  if (at == std::string::npos) return t;
  double p99 = 0;
  if (std::sscanf(errors.c_str() + at, "stats: Z -> next block, %zu turnarounds: median %lf ms, p99 %lf ms, max %lf ms",
                  &t.count, &t.median, &p99, &t.max) != 4) {
    return Turnaround{};
  }
  return t;
}

struct TwoEngines : ::testing::Test {
  TwoEngines() { tk::Install(&rt); }
  ~TwoEngines() override {
    uploader.reset();
    sender.reset();
    rt.RunUntil([] { return tk::Thread::WaitForDetachedThreads(0); }, 5000);
    tk::Install(nullptr);
  }
  tk::LoopRuntime rt{tk::LoopRuntime::Clock::Real};
  std::unique_ptr<Station> uploader, sender;
};

TEST_F(TwoEngines, OnesPacedLoaderUploadDoesNotDelayTheOthersBlocks) {
  // About 24 KB of loader text: beyond what the line takes at once, over five seconds of waiting for it at
  // 38400 baud, long enough to cover the other engine's whole update.
  uploader = std::make_unique<Station>(testing_support::LoaderText(10000), testing_support::FirmwareImage(2001, 1));
  sender = std::make_unique<Station>(simtest::kLoader, testing_support::FirmwareImage(8001, 2));
  bool uploadStillRunning = false;
  uploader->Start([] {});
  sender->Start([&] { uploadStillRunning = !uploader->Logged("Actually send out s19 file size"); });
  ASSERT_TRUE(rt.RunUntil([&] { return uploader->finished && sender->finished; }, 60000))
      << uploader->Diagnose() << "\n=== sender ===\n"
      << sender->Diagnose();
  EXPECT_EQ(1, uploader->engine->Succeeded) << uploader->Diagnose();
  ASSERT_EQ(1, sender->engine->Succeeded) << sender->Diagnose();
  // Otherwise the blocks did not go while the loader did, and the figures say nothing.
  ASSERT_TRUE(uploadStillRunning) << uploader->Diagnose();
  ASSERT_EQ(0, sender->sim.wait_exit());
  const Turnaround t = ParseStats(sender->sim.errors());
  ASSERT_EQ(7u, t.count) << sender->sim.errors();
  // A wait that sleeps in slices instead of in the loop keeps each acknowledgement waiting for its slice's end.
  EXPECT_LT(t.median, 2.0) << sender->sim.errors();
  EXPECT_LT(t.max, 5.0) << sender->sim.errors();
}

}  // namespace
