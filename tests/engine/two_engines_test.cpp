// Two engines in one process share the one UI thread, each against its own simulated indicator on a pty
// that keeps the line's pace. While the first uploads a long loader, which waits for the line again and
// again, the second sends its firmware: every block acknowledgement must still be answered at once. Two
// uploads at once go side by side, neither waiting for the other's end.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "engine/SerialThreadDef.h"
#include "payload/SizeRule.h"
#include "tests/engine/harness.h"
#include "tests/engine/threads.h"
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
      if (l.find(prefix) != std::string::npos) return true;
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
  // The monotonic millisecond of the first log line that starts with `prefix` (after the stamp), or -1.
  int64_t LoggedAt(const std::string& prefix) const {
    for (const auto& [ms, text] : window.stamped) {
      if (text.rfind(prefix, 0) == 0) return ms;
    }
    return -1;
  }
  struct StampingWindow : RecordingWindow {
    void AppendLogLine(const std::string& text) override {
      const int64_t ms = tk::MonotonicUs() / 1000;
      stamped.emplace_back(ms, text);
      RecordingWindow::AppendLogLine(std::to_string(ms % 100000) + " " + text);
    }
    std::vector<std::pair<int64_t, std::string>> stamped;
  } window;
  RecordingDialog dialog;
  std::unique_ptr<TSerialThread> engine;
  bool finished = false;
};

// The simulator's figures, from its "stats:" line, of its Z -> next block times.
struct Turnaround {
  double median = -1, p99 = -1, max = -1;
  size_t count = 0;
};
Turnaround ParseStats(const std::string& errors) {
  Turnaround t;
  const size_t at = errors.find("stats: Z -> next block, ");
  if (at == std::string::npos) return t;
  if (std::sscanf(errors.c_str() + at,
                  "stats: Z -> next block, %zu turnarounds: median %lf ms, p99 %lf ms, max %lf ms", &t.count,
                  &t.median, &t.p99, &t.max) != 4) {
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
  tk::LoopRuntime rt{tk::LoopRuntime::Clock::Real, engine_test::TestThreads()};
  std::unique_ptr<Station> uploader, sender;
};

TEST_F(TwoEngines, OnesPacedLoaderUploadDoesNotDelayTheOthersBlocks) {
  // The sender's 30 blocks take about eight seconds at 38400 baud. The uploader starts once they have begun;
  // its 38 KB of loader text take about as long, most of it waiting for the line.
  sender = std::make_unique<Station>(simtest::kLoader, testing_support::FirmwareImage(30001, 2));
  uploader =
      std::make_unique<Station>(testing_support::LoaderText(16000), testing_support::FirmwareImage(2001, 1));
  bool uploadBegan = false;
  sender->Start([&] { uploadBegan = uploader->engine && uploader->Logged("Sending S19 loader"); });
  auto starter = rt.NewTimer();
  starter->SetInterval(20);
  starter->SetOnTimer([&] {
    for (const auto& s : sender->window.status) {
      if (s.rfind("Sending new firmware.", 0) != 0) continue;
      starter->SetEnabled(false);
      uploader->Start([] {});
      return;
    }
  });
  ASSERT_TRUE(rt.RunUntil([&] { return uploader->finished && sender->finished; }, 60000))
      << uploader->Diagnose() << "\n=== sender ===\n"
      << sender->Diagnose();
  EXPECT_EQ(1, uploader->engine->Succeeded) << uploader->Diagnose();
  ASSERT_EQ(1, sender->engine->Succeeded) << sender->Diagnose();
  // Otherwise the blocks did not go while the loader did, and the figures say nothing.
  ASSERT_TRUE(uploadBegan) << uploader->Diagnose() << "\n=== sender ===\n" << sender->Diagnose();
  ASSERT_EQ(0, sender->sim.wait_exit());
  const Turnaround t = ParseStats(sender->sim.errors());
  std::printf("sender's %s", sender->sim.errors().substr(sender->sim.errors().find("stats:")).c_str());
  ASSERT_GE(t.count, 25u) << sender->sim.errors();
  // A wait that sleeps in slices instead of in the loop keeps each acknowledgement waiting for the slice's
  // end, twice (the reply's hand-over, then the step's): a few milliseconds each time. The typical turnaround
  // is checked, well under the 5 ms asked of it; single late ones are the busy machine's scheduler, which one
  // engine alone sees too (bench_update).
  EXPECT_LT(t.median, 2.0) << sender->sim.errors();
}

TEST_F(TwoEngines, TwoLoaderUploadsAtOnceTakeAboutOneUploadsLineTime) {
  // Started together, both reach the upload at about the same moment. An upload that waited for the line
  // inside its own step would hold the other's until its end: about twice the line time in all. Side by
  // side they end within about one, the bound generous for a busy machine.
  const std::string loaderText = testing_support::LoaderText(10000);
  uploader = std::make_unique<Station>(loaderText, testing_support::FirmwareImage(2001, 3));
  sender = std::make_unique<Station>(loaderText, testing_support::FirmwareImage(2001, 4));
  uploader->Start([] {});
  sender->Start([] {});
  ASSERT_TRUE(rt.RunUntil([&] { return uploader->finished && sender->finished; }, 60000))
      << uploader->Diagnose() << "\n=== second ===\n"
      << sender->Diagnose();
  for (Station* s : {uploader.get(), sender.get()}) {
    EXPECT_EQ(1, s->engine->Succeeded) << s->Diagnose();
    EXPECT_EQ(0, s->sim.wait_exit()) << s->Diagnose();
    // The uploads run at 38400 baud; what goes beyond the lead waits for the line.
    EXPECT_GE(s->LoggedAt("Sending {PM} at 38400 baud rate"), 0) << s->Diagnose();
  }
  const int64_t begin =
      std::min(uploader->LoggedAt("Sending S19 loader."), sender->LoggedAt("Sending S19 loader."));
  const int64_t a = uploader->LoggedAt("Actually send out s19 file size is");
  const int64_t b = sender->LoggedAt("Actually send out s19 file size is");
  ASSERT_TRUE(begin >= 0 && a >= 0 && b >= 0) << uploader->Diagnose();
  const int64_t lineMs = static_cast<int64_t>(loaderText.size() - kLoaderLeadBytes) * 10000 / 38400;
  const int64_t tookMs = std::max(a, b) - begin;
  std::printf("two uploads of %zu bytes: %lld ms, one upload's line time %lld ms\n", loaderText.size(),
              static_cast<long long>(tookMs), static_cast<long long>(lineMs));
  EXPECT_LT(tookMs, lineMs * 16 / 10) << uploader->Diagnose() << "\n=== second ===\n" << sender->Diagnose();
}

}  // namespace
