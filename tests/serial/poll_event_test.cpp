// PollCommEvent on a pseudo-terminal: the events the monitor's wait reports, each once, without waiting;
// the single-threaded runtime's monitor asks it in turns.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "serial/CommOs.h"
#include "tests/support/pty.h"

namespace {

using namespace commos;

struct PollEvent : ::testing::Test {
  PollEvent() {
    h = CreateFile(pty.path());
    Dcb dcb;
    dcb.Flags = fBinary | fOutX;  // obey XOFF, so a write can be held pending
    EXPECT_TRUE(h && SetCommState(h, dcb) && SetCommMask(h, EV_RXCHAR | EV_ERR | EV_TXEMPTY));
  }
  ~PollEvent() override {
    if (h) CloseHandle(h);
  }
  // Polls for ms, the far side reading what arrives meanwhile; the events of the first poll that had any.
  uint32_t PollFor(int ms) {
    for (int i = 0; i < ms / 2; ++i) {
      uint32_t mask = 0;
      if (PollCommEvent(h, &mask)) return mask;
      received += pty.Receive(1 << 20, 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return 0;
  }
  // Writes until a write stays pending while the far side reads: the terminal obeys the XOFF it was sent
  // (which its line discipline takes in a little later).
  bool FillUntilHeld() {
    const std::string block(4096, 'w');
    for (int i = 0; i < 256; ++i) {
      uint32_t written = 0;
      if (WriteFile(h, block.data(), block.size(), &written, 0, false) != IoResult::TimedOut) continue;
      bool held = true;
      for (int j = 0; j < 10 && held; ++j) {
        received += pty.Receive(1 << 20, 1);
        held = WaitWrite(h, 20) == IoResult::TimedOut;
      }
      if (held) return true;
    }
    return false;
  }

  testing_support::Pty pty;
  Handle h;
  std::string received;
};

TEST_F(PollEvent, TellsEachEventOnceAndNothingBetween) {
  char buffer[16];
  uint32_t n = 0;
  const struct {
    const char* what;
    std::function<bool(PollEvent&)> act;
    uint32_t events;
  } rows[] = {
      {"nothing has happened", [](PollEvent&) { return true; }, 0},
      {"bytes arrived", [](PollEvent& t) { return t.pty.Send("abc"); }, EV_RXCHAR},
      {"the same bytes, unread", [](PollEvent&) { return true; }, 0},
      {"one more byte", [](PollEvent& t) { return t.pty.Send("d"); }, EV_RXCHAR},
      {"all read", [&](PollEvent& t) { return ReadFile(t.h, buffer, sizeof buffer, &n) == IoResult::Done; },
       0},
      {"a write left", [&](PollEvent& t) { return WriteFile(t.h, "x", 1, &n, 1000) == IoResult::Done; },
       EV_TXEMPTY},
      {"a write held by XOFF", [](PollEvent& t) { return t.pty.Send("\x13") && t.FillUntilHeld(); }, 0},
      {"its rest pushed out after XON", [](PollEvent& t) { return t.pty.Send("\x11"); }, EV_WRITEDONE},
      {"the far side hung up", [](PollEvent& t) { return t.pty.CloseMaster(), true; }, EV_ERR},
      {"the loss, told once", [](PollEvent&) { return true; }, 0},
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(row.act(*this)) << row.what;
    EXPECT_EQ(row.events, PollFor(row.events ? 3000 : 100)) << row.what;
  }
  ASSERT_TRUE(CloseHandle(h));
  uint32_t mask = 0;
  EXPECT_FALSE(PollCommEvent(h, &mask)) << "a closed handle";
  EXPECT_NE(ErrorKind::None, LastErrorKind());
  h.reset();
}

}  // namespace
