// libFuzzer target: reply recognition over any state and any received chunk.
// Input: one byte for the state, then chunks, each a length byte followed by that many bytes. Each chunk
// arrives on an empty receive buffer and must be recognised as the reply rules say; then all of them arrive
// in turn on one buffer, which must stay within its bounds.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "tests/engine/reference_reply.h"
#include "tests/engine/seam.h"
#include "toolkit/loop/LoopRuntime.h"

namespace {

struct Bench {
  Bench() {
    tk::Install(&rt);
    engine = std::make_unique<engine_test::EngineUnderTest>(nullptr, nullptr);
  }
  tk::LoopRuntime rt{tk::LoopRuntime::Clock::Virtual};
  std::unique_ptr<engine_test::EngineUnderTest> engine;
};

void Empty(engine_test::EngineUnderTest& e, uint8_t state) {
  e.State = state;
  e.RxPos = 1;
  e.ReplyKind = engine::kReplyNone;
  e.FlashSize = -7;
  e.WakeEvent.Reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Bench* bench = new Bench;  // one engine for the whole run: it holds a thread and a port
  engine_test::EngineUnderTest& e = *bench->engine;
  if (size < 1) return 0;
  const uint8_t state = data[0] % engine::kStateCount;
  for (size_t i = 1; i < size;) {
    const size_t length = std::min<size_t>(data[i], size - i - 1);
    ++i;
    Empty(e, state);
    e.ProcessChunk(data + i, static_cast<int>(length));
    const std::string chunk(reinterpret_cast<const char*>(data + i), length);
    const engine_test::ExpectedReply expected = engine_test::ReferenceReply(state, chunk);
    if (e.ReplyKind != expected.kind) std::abort();
    if (e.FlashSize != (expected.flashSizeRead ? expected.flashSize : -7)) std::abort();
    i += length;
  }
  Empty(e, state);
  for (size_t i = 1; i < size;) {
    const size_t length = std::min<size_t>(data[i], size - i - 1);
    ++i;
    e.ProcessChunk(data + i, static_cast<int>(length));
    i += length;
    if (e.RxPos < 1 || e.RxPos > engine::kRxBufferSize) std::abort();
  }
  return 0;
}
