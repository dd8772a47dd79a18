// The loader upload and the firmware transfer, step by step on a pty whose far side the test reads.
#include <algorithm>
#include <thread>

#include "payload/PayloadFile.h"
#include "tests/engine/harness.h"
#include "tests/support/files.h"
#include "tests/support/payloads.h"

using namespace engine;
using engine_test::EngineTest;
using testing_support::FirmwareImage;

namespace {

// A payload file read one byte a call, as the controller's file source reads it.
struct FileSource : IPayloadSource {
  explicit FileSource(payload::PayloadFile& f) : file(f) {}
  void Rewind() override { file.Rewind(); }
  int Read(uint8_t* out, int) override { return file.ReadByte(out); }
  payload::PayloadFile& file;
};

class Transfer : public EngineTest {
 protected:
  Transfer() : loader(64000, static_cast<char>(0xFF)), firmware(1048576, static_cast<char>(0xFF)) {}
  testing_support::Pty& Ready() {
    auto& pty = CreateOnCom4();
    engine->MarkAnswered();  // as before every transfer: a line the reader holds is the indicator's
    UseBufferLoader(0);
    engine->FirmwareSource = &firmwareBuffer;
    window.positions.clear();
    return pty;
  }
  // The embedded loader as the controller hands it over: cut at its counted size.
  void UseBufferLoader(size_t size) {
    loaderBuffer =
        BufferPayload(reinterpret_cast<const uint8_t*>(loader.data()), std::min<size_t>(size, 64000));
    engine->LoaderSource = &loaderBuffer;
    engine->LoaderSize = static_cast<uint32_t>(size);
  }
  void UseFiles(const std::string& firmwareBytes, const std::string& loaderBytes) {
    testing_support::WriteFile(dir / "fw.bin", firmwareBytes);
    testing_support::WriteFile(dir / "ld.s19", loaderBytes);
    firmwareFile.Open(dir / "fw.bin");
    loaderFile.Open(dir / "ld.s19");
    engine->FirmwareSource = &firmwareFileSource;
    engine->LoaderSource = &loaderFileSource;
  }
  // The upload announced: "{PM}" on the wire, the caret not yet answered.
  void Announce(testing_support::Pty& pty) {
    engine->StartLoaderUpload();
    EXPECT_EQ(eSendPM, engine->State);
    EXPECT_EQ("{PM}", pty.Receive(4, 1000));
  }
  // A loader of `size` bytes in the buffer, announced.
  void AnnounceBufferLoader(testing_support::Pty& pty, size_t size, unsigned seed) {
    loader.replace(0, size, FirmwareImage(size, seed));
    UseBufferLoader(size);
    Announce(pty);
  }
  // The caret to "{PM}": the upload begins, and runs in steps of its own while the clock moves, until it has
  // ended (or `ms` of real time have passed).
  void AckAndUpload(uint32_t ms = 10000) {
    StepWith(kReplyAck);
    RunUpload(ms);
  }
  // The upload's own steps, with the clock moving, until it has ended.
  void RunUpload(uint32_t ms = 10000) {
    const int64_t end = tk::MonotonicUs() / 1000 + ms;
    while (engine->State == eUpload && !engine->Terminated() && tk::MonotonicUs() / 1000 < end) {
      // A write the pty has not taken yet ends by the monitor thread's event, in real time: the virtual
      // clock waits with it, as the line's time does not pass for it either.
      if (engine->WritePending()) {
        rt.RunFor(1);
      } else {
        rt.Advance(1);
      }
    }
  }
  // One upload: "{PM}" and its caret, then the loader text.
  std::string Upload(testing_support::Pty& pty, size_t expected) {
    Announce(pty);
    AckAndUpload();
    EXPECT_EQ(eWaitQ, engine->State);
    std::string sent = pty.Receive(expected, 2000);
    EXPECT_EQ("", pty.Receive(1, 20));
    return sent;
  }

  testing_support::TempDir dir;
  std::string loader, firmware;
  BufferPayload loaderBuffer{nullptr, 0};
  BufferPayload firmwareBuffer{reinterpret_cast<const uint8_t*>(firmware.data()), firmware.size()};
  payload::PayloadFile firmwareFile, loaderFile;
  FileSource firmwareFileSource{firmwareFile}, loaderFileSource{loaderFile};
};

TEST_F(Transfer, EmptyLoaderFromTheBuffer) {
  auto& pty = Ready();
  EXPECT_EQ("", Upload(pty, 0));
  EXPECT_TRUE(window.positions.empty());
  EXPECT_EQ((std::vector<bool>{true, false}), window.visible);
  EXPECT_EQ(std::vector<int>{0}, window.maxima);
  EXPECT_EQ("Sending Load Program", window.status.back());
  EXPECT_EQ("Actually send out s19 file size is  0", window.log.back());
  EXPECT_EQ(30000u, engine->TimeoutTimer->Interval());
}

TEST_F(Transfer, LoaderFromTheBufferStopsAtItsSize) {
  auto& pty = Ready();
  loader.replace(0, 2000, FirmwareImage(2000, 7));
  UseBufferLoader(1500);
  EXPECT_EQ(loader.substr(0, 1500), Upload(pty, 1500));
  EXPECT_EQ((std::vector<int>{0, 1000}), window.positions);
  EXPECT_EQ(std::vector<int>{1500}, window.maxima);
  EXPECT_EQ("Actually send out s19 file size is  1500", window.log.back());
  EXPECT_EQ("Sending S19 loader. FileSize:1500", window.log[0]);
}

TEST_F(Transfer, LoaderFileIsSentWholeAndAgainFromItsStart) {
  auto& pty = Ready();
  const std::string file = FirmwareImage(4000, 3) + std::string(100, static_cast<char>(0xFF));
  UseFiles("", file);
  engine->LoaderSize = 4000;
  EXPECT_EQ(file, Upload(pty, 4100));
  EXPECT_EQ((std::vector<int>{0, 1000, 2000, 3000, 4000}), window.positions);
  EXPECT_EQ("Actually send out s19 file size is  4100", window.log.back());
  // A second upload (after no Q) starts from the first byte again.
  EXPECT_EQ(file, Upload(pty, 4100));
}

TEST_F(Transfer, UnreadableLoaderFileEndsTheUpdateWithAMessage) {
  auto& pty = Ready();
  // Reading this file fails with an I/O error although it opens and rewinds.
  const std::string link = dir / "ld.s19";
  ASSERT_EQ(0, symlink("/proc/self/mem", link.c_str()));
  loaderFile.Open(link);
  engine->LoaderSource = &loaderFileSource;
  int finished = 0;
  engine->OnFinished = [&](TSerialThread*) { ++finished; };
  Announce(pty);
  AckAndUpload();
  EXPECT_EQ(1, finished);
  EXPECT_TRUE(engine->Terminated());
  ASSERT_EQ(1u, messages.size());
  EXPECT_NE(std::string::npos, messages[0].find("ld.s19")) << messages[0];
  EXPECT_EQ("", pty.Receive(1, 20));
}

// Starts the transfer as the step does on W, then answers Z until the last block.
std::vector<std::string> Blocks(engine_test::EngineUnderTest& e, testing_support::Pty& pty, size_t size) {
  std::vector<std::string> blocks;
  e.State = eWaitW;
  e.ReplyKind = kReplyW;
  e.Step();
  for (size_t sent = 0; sent + 1000 <= size; sent += 1000) {
    blocks.push_back(pty.Receive(1001, 2000));
    EXPECT_EQ(eSendFirmware, e.State);
    EXPECT_EQ(6000u, e.TimeoutTimer->Interval());
    e.ReplyKind = kReplyZ;
    e.Step();
  }
  blocks.push_back(pty.Receive(size % 1000, 2000));
  EXPECT_EQ("", pty.Receive(1, 20));
  EXPECT_EQ(eWaitX, e.State);
  return blocks;
}

TEST_F(Transfer, FirmwareInBlocksWithMarkers) {
  auto& pty = Ready();
  firmware.replace(0, 5000, FirmwareImage(5000, 11));
  engine->FirmwareSize = 2500;
  auto blocks = Blocks(*engine, pty, 2500);
  ASSERT_EQ(3u, blocks.size());
  EXPECT_EQ(firmware.substr(0, 1000) + "\xA5", blocks[0]);
  EXPECT_EQ(firmware.substr(1000, 1000) + "\xA5", blocks[1]);
  EXPECT_EQ(firmware.substr(2000, 500), blocks[2]);
  EXPECT_EQ(std::vector<int>{0}, window.positions);
  EXPECT_EQ(std::vector<int>{2500}, window.maxima);
  EXPECT_EQ("Sending new firmware. This will take approximately 8 minutes.", window.status.back());
  EXPECT_EQ(serial::fcNone, engine->Port->FlowControl());

  window.positions.clear();
  engine->FirmwareSize = 5000;
  blocks = Blocks(*engine, pty, 5000);
  ASSERT_EQ(6u, blocks.size());
  EXPECT_EQ("", blocks[5]);  // after the fifth Z nothing is written
  EXPECT_EQ(firmware.substr(4000, 1000) + "\xA5", blocks[4]);
  EXPECT_EQ((std::vector<int>{0, 5000}), window.positions);
}

TEST_F(Transfer, CrcOfTheImageIsSentLowByteFirst) {
  auto& pty = Ready();
  firmware.replace(0, 9, "123456789");
  engine->FirmwareSize = 9;
  Blocks(*engine, pty, 9);
  EXPECT_EQ(0xBB3D, engine->Crc);
  StepWith(kReplyX);
  EXPECT_EQ(std::string("\x3D\xBB", 2), pty.Receive(2, 1000));
  EXPECT_EQ("Send out crc is: 47933 187", window.log.back());
  EXPECT_EQ(eWaitY, engine->State);
}

TEST_F(Transfer, TimeEstimates) {
  Ready();
  struct Case {
    uint32_t size;
    int baud;
    const char* minutes;
  } cases[] = {{599999, 9600, "8"}, {600000, 9600, "16"}, {599999, 38400, "3"}, {600000, 38400, "5"}};
  for (const auto& c : cases) {
    engine->FirmwareSize = c.size;
    engine->SetBaud(c.baud);
    engine->StartFirmwareTransfer();
    EXPECT_EQ(std::string("Sending new firmware. This will take approximately ") + c.minutes + " minutes.",
              window.status.back());
  }
}

TEST_F(Transfer, FileModeRestartsFromTheFirstByteAndPadsToTheAnnouncedSize) {
  auto& pty = Ready();
  const std::string image = FirmwareImage(999, 5);
  UseFiles(image, "");
  engine->FirmwareSize = 1002;  // 999 made even (1000), then off a multiple of 1000
  auto blocks = Blocks(*engine, pty, 1002);
  const std::string padded = image + std::string(3, static_cast<char>(0xFF));
  EXPECT_EQ(padded.substr(0, 1000) + "\xA5", blocks[0]);
  EXPECT_EQ(padded.substr(1000), blocks[1]);
  const uint16_t crc = Crc16(reinterpret_cast<const uint8_t*>(padded.data()), padded.size());
  EXPECT_EQ(crc, engine->Crc);
  // A failed transfer starts over with the next W: the file is read from its start again.
  blocks = Blocks(*engine, pty, 1002);
  EXPECT_EQ(padded.substr(0, 1000) + "\xA5", blocks[0]);
  EXPECT_EQ(crc, engine->Crc);
}

TEST_F(Transfer, APayloadIsPaddedByTheSizeAdjustmentOnlyAndOtherwiseRefused) {
  // The announced size passes the payload's end by 1 to 3 bytes at most; a payload that ends earlier (a file
  // that shrank during the update) must never be padded into an image the indicator would confirm.
  struct {
    size_t have;
    uint32_t announced;
    bool sent;
  } cases[] = {
      {1502, 1502, true}, {1501, 1502, true},
      {1499, 1502, true}, {1498, 1502, false},  // four short, inside the last block
      {999, 2002, false},                       // short by more than a block
      {1000, 1002, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.have) + " of " + std::to_string(c.announced));
    auto& pty = Ready();
    messages.clear();
    const std::string image = FirmwareImage(c.have, 8);
    BufferPayload shortBuffer(reinterpret_cast<const uint8_t*>(image.data()), image.size());
    engine->FirmwareSource = &shortBuffer;
    engine->FirmwareSize = c.announced;
    int finished = 0;
    engine->OnFinished = [&](TSerialThread*) { ++finished; };
    if (c.sent) {
      auto blocks = Blocks(*engine, pty, c.announced);
      std::string all;
      for (const auto& b : blocks) all += b.size() == 1001 ? b.substr(0, 1000) : b;
      const std::string padded = image + std::string(c.announced - c.have, static_cast<char>(0xFF));
      EXPECT_EQ(padded, all);
      EXPECT_EQ(0, finished);
    } else {
      engine->State = eWaitW;
      StepWith(kReplyW);
      for (size_t full = 1000; full <= c.have; full += 1000) {
        EXPECT_EQ(1001u, pty.Receive(1001, 2000).size());
        StepWith(kReplyZ);
      }
      EXPECT_EQ("", pty.Receive(1, 50)) << "nothing of the short block goes out";
      EXPECT_EQ(1, finished);
      ASSERT_EQ(1u, messages.size());
      EXPECT_EQ(0u, messages[0].find("Message: The firmware file changed during the update:\nit ends after "))
          << messages[0];
      EXPECT_TRUE(Logged("The firmware file changed during the update: it ends after " +
                         std::to_string(c.have) + " of " + std::to_string(c.announced) + " bytes"));
    }
    engine.reset();
  }
}

TEST(BufferPayload, ReadsInPiecesToItsEndAndAgainAfterARewind) {
  const uint8_t bytes[5] = {1, 2, 3, 4, 5};
  BufferPayload source(bytes, sizeof bytes);
  uint8_t out[8] = {};
  EXPECT_EQ(0, source.Read(out, 0));
  EXPECT_EQ(0, source.Read(out, -1));
  EXPECT_EQ(3, source.Read(out, 3));
  EXPECT_EQ(2, source.Read(out, 8));
  EXPECT_EQ(5, out[1]);
  EXPECT_EQ(0, source.Read(out, 8));
  source.Rewind();
  EXPECT_EQ(5, source.Read(out, 8));
  BufferPayload none(nullptr, 100);  // no buffer: nothing to read, whatever the size says
  EXPECT_EQ(0, none.Read(out, 8));
}

TEST_F(Transfer, QThatArrivesDuringTheUploadIsNotLost) {
  auto& pty = Ready();
  const size_t size = kLoaderLeadBytes + 1000;  // beyond the lead: the upload takes more than one step
  AnnounceBufferLoader(pty, size, 9);
  ASSERT_TRUE(pty.Send("Q"));  // a fast line: the answer is there before the upload has ended
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::string sent;
  std::thread reader([&] { sent = pty.Receive(size, 5000); });
  AckAndUpload();
  reader.join();
  EXPECT_TRUE(Logged("Received: Q length: 1"));
  // The step it asked for runs next, in eWaitQ, and goes on to the erase.
  ASSERT_TRUE(rt.RunUntil([&] { return engine->State == eSendU; }, 5000));
  EXPECT_NE(std::string::npos, window.log[window.log.size() - 2].find("In state of eWaitQ"))
      << window.log[window.log.size() - 2];
  if (sent.size() < size + 1) sent += pty.Receive(size + 1 - sent.size(), 1000);
  EXPECT_TRUE(sent == loader.substr(0, size) + "U") << sent.size();
}

TEST_F(Transfer, AStepAskedForDuringTheUploadRunsAfterItNotInsideIt) {
  auto& pty = Ready();
  AnnounceBufferLoader(pty, 20000, 4);
  ASSERT_TRUE(pty.Send("B"));  // recognised during the upload: its step must wait for the upload's end
  std::thread reader([&] { pty.Receive(20000, 5000); });  // keep the line draining
  const int steps = StepLines();
  StepWith(kReplyAck);
  // The B is read while the upload runs: the clock that paces the upload stands still until the monitor has
  // brought it (on a busy machine that may take longer than the whole upload).
  ASSERT_TRUE(rt.RunUntil([&] { return Logged("Received: B length: 1"); }, 5000));
  EXPECT_EQ(eUpload, engine->State);
  RunUpload();  // the upload, run here on the UI thread outside the driver, in steps of its own
  reader.join();
  EXPECT_EQ(eWaitQ, engine->State);
  // The caret's step, then the one B asked for (it may have come already while the loop ran).
  ASSERT_TRUE(WaitSteps(steps + 2)) << ::testing::PrintToString(window.log);
  for (const auto& line : window.log) EXPECT_EQ(std::string::npos, line.find("In state of eUpload")) << line;
  EXPECT_EQ(0u, window.log.back().rfind("Receive using time: ", 0)) << window.log.back();
  EXPECT_NE(std::string::npos, window.log.back().find("In state of eWaitQ"));
  EXPECT_EQ(eWaitQ, engine->State);
  EXPECT_EQ(30000u, engine->TimeoutTimer->Interval());
  EXPECT_TRUE(engine->TimeoutTimer->Enabled());
}

// Where the loader upload stood at each progress report: bytes written, and the time since the upload began
// on the runtime's counter and on the monotonic clock.
struct PaceRecord {
  int written;
  int64_t tickMs, realMs;
};

TEST_F(Transfer, LoaderUploadKeepsWithinItsLeadOfTheLine) {
  struct {
    const char* name;
    int baud;
    size_t size;
    bool file;  // read a byte a call, with messages processed after each
  } cases[] = {
      {"buffer, 9600", 9600, 20000, false},
      {"buffer, 38400", 38400, 30000, false},
      // A byte a virtual millisecond is slower than the line: only that reading files never slows it more.
      {"file, 38400", 38400, 12000, true},
      {"within the lead: no wait", 9600, 4096, false},
  };
  auto& pty = Ready();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    engine->SetBaud(c.baud);
    const std::string text = FirmwareImage(c.size, 5);
    if (c.file) {
      UseFiles("", text);
      engine->LoaderSize = static_cast<uint32_t>(c.size);
    } else {
      loader.replace(0, c.size, text);
      UseBufferLoader(c.size);
    }
    Announce(pty);
    std::vector<PaceRecord> seen;
    int64_t tick0 = 0, real0 = 0;
    window.onMax = [&](int) {
      tick0 = rt.VirtualMs();
      real0 = tk::MonotonicUs() / 1000;
    };
    window.onPosition = [&](int p) {
      seen.push_back({p + 1, rt.VirtualMs() - tick0, tk::MonotonicUs() / 1000 - real0});
    };
    std::string sent;
    std::thread reader([&] { sent = pty.Receive(c.size, 10000); });
    AckAndUpload();
    const int64_t tookMs = rt.VirtualMs() - tick0;
    reader.join();
    window.onMax = nullptr;
    window.onPosition = nullptr;
    EXPECT_EQ(eWaitQ, engine->State);
    EXPECT_TRUE(sent == text) << sent.size() << " of " << c.size << " bytes arrived";
    ASSERT_EQ((c.size + 999) / 1000, seen.size());
    for (const auto& r : seen) {
      // Never more than the lead ahead of what the line has carried by then, on the later of the clocks.
      const int64_t line = std::max(r.tickMs, r.realMs) * c.baud / 10000;
      EXPECT_LE(r.written, line + kLoaderLeadBytes) << "at " << r.written << " bytes";
    }
    // Nor slower than the line: beyond its time only the counter's millisecond per round of messages.
    const int64_t lineMs =
        std::max<int64_t>(0, static_cast<int64_t>(c.size) - kLoaderLeadBytes) * 10000 / c.baud;
    const int64_t rounds = static_cast<int64_t>(c.file ? c.size : c.size / 64) + 2;
    EXPECT_LE(tookMs, std::max(lineMs, rounds) + rounds);
    if (c.size <= kLoaderLeadBytes) {
      EXPECT_LE(tookMs, rounds);
    }
    window.positions.clear();
  }
}

TEST_F(Transfer, LoaderUploadOnACounterThatLagsEndsByTheRealClock) {
  auto& pty = Ready();
  rt.SetAutoAdvance(0);  // only the test moves the runtime's counter: a millisecond per 5 ms of real time
  engine->SetBaud(38400);
  AnnounceBufferLoader(pty, kLoaderLeadBytes + 3840, 6);  // 1 s of line beyond the lead
  const int64_t before = rt.VirtualMs();
  std::string sent;
  std::thread reader([&] { sent = pty.Receive(kLoaderLeadBytes + 3840, 10000); });
  StepWith(kReplyAck);
  const int64_t end = tk::MonotonicUs() / 1000 + 10000;
  while (engine->State == eUpload && tk::MonotonicUs() / 1000 < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    rt.Advance(1);
  }
  reader.join();
  EXPECT_EQ(eWaitQ, engine->State);
  // The counter alone would have it wait its 1 s of line; the real clock ends it after one look.
  EXPECT_LE(rt.VirtualMs() - before, 2 * kLoaderPaceWaitMs);
  EXPECT_TRUE(sent == loader.substr(0, kLoaderLeadBytes + 3840)) << sent.size();
}

TEST_F(Transfer, UnreadableFirmwareFileEndsTheUpdateWithAMessage) {
  auto& pty = Ready();
  engine->FirmwareSource = &firmwareFileSource;  // the firmware file was never opened: it cannot be rewound
  engine->FirmwareSize = 2002;
  int finished = 0;
  engine->OnFinished = [&](TSerialThread*) { ++finished; };
  engine->State = eWaitW;
  StepWith(kReplyW);
  EXPECT_EQ(1, finished);
  ASSERT_EQ(1u, messages.size());
  EXPECT_NE(std::string::npos, messages[0].find("Can not read the firmware file")) << messages[0];
  EXPECT_EQ("", pty.Receive(1, 50));
}

struct ThrowingSource : IPayloadSource {
  void Rewind() override { throw 42; }
  int Read(uint8_t*, int) override { throw 42; }
};

TEST_F(Transfer, AStepThatFailsStillArmsItsTimeout) {
  Ready();
  ThrowingSource throwing;
  engine->LoaderSource = &throwing;
  engine->State = eUploadZA;
  StepWith(kReplyTimeout);
  EXPECT_TRUE(Logged("Step failed"));
  EXPECT_TRUE(engine->TimeoutTimer->Enabled());
  EXPECT_FALSE(engine->Terminated());
}

}  // namespace
