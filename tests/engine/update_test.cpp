// Whole updates against the simulated indicator process: real threads, real timers, a real pty.
#include <atomic>
#include <fstream>

#include "app/core/PayloadSources.h"
#include "engine/SerialThreadDef.h"
#include "payload/PayloadFile.h"
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

// A payload file read one byte a call, straight from the file (the program reads a snapshot instead): I/O
// errors during the update reach the engine.
class PayloadFileSource : public IPayloadSource {
 public:
  explicit PayloadFileSource(payload::PayloadFile& file) : file_(file) {}
  void Rewind() override { file_.Rewind(); }
  int Read(uint8_t* out, int max) override { return max < 1 ? 0 : file_.ReadByte(out); }

 private:
  payload::PayloadFile& file_;
};

using testing_support::FirmwareImage;

class Update : public ::testing::Test {
 protected:
  Update() : loaderBuffer(64000, static_cast<char>(0xFF)), firmwareBuffer(1048576, static_cast<char>(0xFF)) {
    tk::Install(&rt);
    rt.SetMessageBoxHandler(
        [this](const std::string& text, const std::string&) { messages.push_back(text); });
  }
  ~Update() override {
    engine.reset();
    rt.RunUntil([] { return tk::Thread::WaitForDetachedThreads(0); }, 5000);
    tk::Install(nullptr);
    unsetenv("BRAE_PORT_DIR");
  }

  // Starts the simulator and an engine that finds it on Com4; returns when the update has ended or failed to.
  bool Run(std::vector<std::string> simArgs, payload::RunMode runMode, const std::string& image,
           const std::string& loader, uint32_t timeoutMs = 30000) {
    simArgs.insert(simArgs.end(), {"--image-out", "IMAGE", "--exit-after-update"});
    sim = std::make_unique<simtest::SimProcess>(Args(simArgs));
    setenv("BRAE_PORT_DIR", sim->dir.path.c_str(), 1);
    loaderBuffer.replace(0, loader.size(), loader);
    firmwareBuffer.replace(0, image.size(), image);
    if (payload::FirmwareFromFile(runMode)) {
      const std::string fw = sim->dir / "fw.bin", ld = sim->dir / "ld.s19";
      std::ofstream(fw, std::ios::binary) << image;
      std::ofstream(ld, std::ios::binary) << loader;
      firmwareFile.Open(fw);
      if (payload::LoaderFromFile(runMode)) loaderFile.Open(ld);
    }
    engine = std::make_unique<TSerialThread>(&window, &dialog);
    engine->Start(0);
    engine->OnFinished = [this](TSerialThread*) { finished = true; };
    engine->FirmwareSize = payload::AdjustFirmwareSize(static_cast<uint32_t>(image.size()));
    engine->LoaderSize = static_cast<uint32_t>(loader.size());
    loaderSource = payload::LoaderFromFile(runMode)
                       ? std::unique_ptr<IPayloadSource>(std::make_unique<PayloadFileSource>(loaderFile))
                       : std::make_unique<BufferPayload>(
                             reinterpret_cast<const uint8_t*>(loaderBuffer.data()), loader.size());
    firmwareSource =
        payload::FirmwareFromFile(runMode)
            ? std::unique_ptr<IPayloadSource>(std::make_unique<PayloadFileSource>(firmwareFile))
            : std::make_unique<BufferPayload>(reinterpret_cast<const uint8_t*>(firmwareBuffer.data()),
                                              firmwareBuffer.size());
    engine->LoaderSource = loaderSource.get();
    engine->FirmwareSource = firmwareSource.get();
    return rt.RunUntil([&] { return finished; }, timeoutMs);
  }
  std::vector<std::string> Args(std::vector<std::string> args) {
    for (auto& a : args) {
      if (a == "IMAGE") a = imageOut();
    }
    return args;
  }
  std::string imageOut() const { return "/tmp/brae-update-test-image-" + std::to_string(getpid()); }
  std::string Received() { return simtest::read_file(imageOut()); }
  std::string Diagnose() {
    std::string all;
    for (const auto& l : window.log) all += l + "\n";
    return all + "--- simulator ---\n" + (sim ? sim->transcript() + sim->errors() : "");
  }

  tk::LoopRuntime rt{tk::LoopRuntime::Clock::Real, engine_test::TestThreads()};
  RecordingWindow window;
  RecordingDialog dialog;
  std::vector<std::string> messages;
  std::string loaderBuffer, firmwareBuffer;
  std::unique_ptr<simtest::SimProcess> sim;
  payload::PayloadFile firmwareFile, loaderFile;
  std::unique_ptr<IPayloadSource> loaderSource, firmwareSource;
  std::unique_ptr<TSerialThread> engine;
  bool finished = false;
};

TEST_F(Update, FromTheEmbeddedBuffers) {
  const std::string image = FirmwareImage(20001, 1);
  ASSERT_TRUE(Run({}, payload::RunMode::Embedded, image, simtest::kLoader)) << Diagnose();
  EXPECT_EQ(1, engine->Succeeded) << Diagnose();
  EXPECT_EQ(0, sim->wait_exit());
  // 20001 bytes are announced as 20002: the buffer's erased fill supplies the last one.
  EXPECT_EQ(image + "\xFF", Received());
  EXPECT_TRUE(messages.empty());
  std::remove(imageOut().c_str());
}

TEST_F(Update, FromAFirmwareFileWithTheEmbeddedLoader) {
  const std::string image = FirmwareImage(2999, 2);  // announced as 3002: three bytes more than the file
  ASSERT_TRUE(Run({}, payload::RunMode::FirmwareFile, image, simtest::kLoader)) << Diagnose();
  EXPECT_EQ(1, engine->Succeeded) << Diagnose();
  EXPECT_EQ(image + std::string(3, static_cast<char>(0xFF)), Received());
  std::remove(imageOut().c_str());
}

TEST_F(Update, FromBothFiles) {
  const std::string image = FirmwareImage(12345, 3);
  ASSERT_TRUE(Run({}, payload::RunMode::BothFiles, image, simtest::kLoader)) << Diagnose();
  EXPECT_EQ(1, engine->Succeeded) << Diagnose();
  EXPECT_EQ(image + "\xFF", Received());
  std::remove(imageOut().c_str());
}

TEST_F(Update, BadCrcLeadsBackToUAndThenToSuccess) {
  const std::string image = FirmwareImage(4567, 4);
  ASSERT_TRUE(Run({"--bad-crc-once"}, payload::RunMode::Embedded, image, simtest::kLoader)) << Diagnose();
  EXPECT_EQ(1, engine->Succeeded) << Diagnose();
  EXPECT_TRUE(std::count(window.log.begin(), window.log.end(),
                         "Download not OK.(Already receive X,but crc not correct,did not receive y)") == 1)
      << Diagnose();
  EXPECT_EQ(image + "\xFF", Received());
  std::remove(imageOut().c_str());
}

TEST_F(Update, DroppedBlockAcknowledgeLeadsBackToUAndThenToSuccess) {
  const std::string image = FirmwareImage(3500, 5);
  ASSERT_TRUE(Run({"--drop-ack", "2:Z"}, payload::RunMode::Embedded, image, simtest::kLoader, 40000))
      << Diagnose();
  EXPECT_EQ(1, engine->Succeeded) << Diagnose();
  bool noAck = false;
  for (const auto& l : window.log)
    noAck = noAck || l.rfind("1000 byte not acknowledge. Using time: ", 0) == 0;
  EXPECT_TRUE(noAck) << Diagnose();
  EXPECT_EQ(image, Received());
  std::remove(imageOut().c_str());
}

}  // namespace
