// libFuzzer target: reply recognition over any state and any sequence of received chunks.
// Input: one byte for the state, then chunks, each a length byte followed by that many bytes.
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "engine/SerialThreadDef.h"
#include "toolkit/loop/LoopRuntime.h"

namespace {

struct Bench {
  Bench() {
    tk::Install(&rt);
    engine = std::make_unique<engine::TSerialThread>(nullptr, nullptr);
  }
  tk::LoopRuntime rt{tk::LoopRuntime::Clock::Virtual};
  std::unique_ptr<engine::TSerialThread> engine;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Bench* bench = new Bench;  // one engine for the whole run: it holds a thread and a port
  engine::TSerialThread& e = *bench->engine;
  if (size < 1) return 0;
  const uint8_t state = data[0] % engine::kStateCount;
  e.State = state;
  e.RxPos = 1;
  e.ReplyKind = 0;
  e.FlashSize = 0;
  e.WakeEvent.Reset();
  size_t i = 1;
  while (i < size) {
    const size_t length = std::min<size_t>(data[i], size - i - 1);
    ++i;
    e.ProcessChunk(data + i, static_cast<int>(length));
    i += length;
    // Recognition never moves the state machine and never leaves the buffer.
    if (e.State != state || e.RxPos < 1 || e.RxPos > engine::kRxBufferSize) std::abort();
    const uint8_t k = e.ReplyKind;
    if (k == 20 || k > 24) std::abort();
  }
  return 0;
}
