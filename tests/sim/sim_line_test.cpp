// The simulator's line model (pacing), its fault decisions and its turnaround statistics.
#include <gtest/gtest.h>

#include <bitset>

#include "tools/indicator-sim/faults.h"
#include "tools/indicator-sim/line.h"
#include "tools/indicator-sim/stats.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

TEST(SimPacing, ByteTimeAndQuantum) {
  struct Case {
    int rate;
    nanoseconds byte;
    nanoseconds quantum;
  } cases[] = {
      {10000, milliseconds(1), milliseconds(4)},
      {9600, nanoseconds(1'041'666), milliseconds(4)},  // truncated, never rounded up
      {115200, nanoseconds(86'805), milliseconds(4)},
      {2400, nanoseconds(4'166'666), nanoseconds(4'166'666)},  // slower than the quantum: one byte a burst
      {300, nanoseconds(33'333'333), nanoseconds(33'333'333)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.byte, sim::byte_time(c.rate)) << c.rate;
    EXPECT_EQ(c.quantum, sim::pace_quantum(c.rate)) << c.rate;
  }
}

// One wire at 1 ms a byte, driven through a sequence of steps; each step's budget depends on all before it.
TEST(SimPacing, BudgetOverTime) {
  const sim::Time t0{};
  const int rate = 10000;
  sim::Pacer wire;
  wire.restart(t0);
  struct Step {
    const char* what;
    int atMs;
    std::size_t want;
    std::size_t giveBack;  // before the budget
    bool idleFirst;
    std::size_t expected;
  } steps[] = {
      {"a quiet wire gives no byte at once", 0, 100, 0, false, 0},
      {"ten ms carry ten bytes", 10, 100, 0, false, 10},
      {"what has crossed is taken only once", 10, 100, 0, false, 0},
      {"partial bytes wait", 13, 100, 0, false, 3},
      {"the caller's want caps it", 20, 4, 0, false, 4},
      {"bytes given back are owed again", 20, 100, 2, false, 5},
      {"a late wake-up loses nothing", 120, 1000, 0, false, 100},
      {"a wire that went quiet earns no credit", 500, 100, 0, true, 0},
      {"and runs from the moment bytes come", 502, 100, 0, false, 2},
  };
  for (const Step& s : steps) {
    if (s.giveBack) wire.give_back(rate, s.giveBack);
    if (s.idleFirst) wire.go_idle();
    EXPECT_EQ(s.expected, wire.budget(t0 + milliseconds(s.atMs), rate, s.want)) << s.what;
    EXPECT_FALSE(wire.idle()) << s.what;
  }
  // Free at 502 ms now: the next transfer is due after one byte, the pending bytes, or a quantum at most.
  EXPECT_EQ(t0 + milliseconds(503), wire.due(rate, 0));
  EXPECT_EQ(t0 + milliseconds(504), wire.due(rate, 2));
  EXPECT_EQ(t0 + milliseconds(506), wire.due(rate, 100));
}

TEST(SimPacing, FractionalTimeIsCarriedNotLost) {
  // At 9600 a byte takes 1.0417 ms: over a second of 1 ms wake-ups the wire must still carry 960 bytes,
  // not one per wake-up.
  const sim::Time t0{};
  sim::Pacer wire;
  wire.restart(t0);
  std::size_t total = 0;
  for (int ms = 0; ms <= 1000; ++ms) total += wire.budget(t0 + milliseconds(ms), 9600, 100000);
  EXPECT_EQ(960u, total);
}

TEST(SimFaults, OneOffFaultsComeOnceAtTheirByte) {
  sim::Options o;
  o.vanish_after = 100;
  o.xoff_after = 10;
  sim::Faults f(o);
  EXPECT_FALSE(f.vanish_within(0, 50));
  EXPECT_EQ(std::optional<std::size_t>(50), f.vanish_within(50, 60));  // cut inside the chunk
  EXPECT_FALSE(f.vanish_within(100, 60));                              // once only
  EXPECT_FALSE(f.xoff_due(9));
  EXPECT_TRUE(f.xoff_due(10));
  EXPECT_FALSE(f.xoff_due(20));

  sim::Options atOnce;
  atOnce.vanish_after = 0;
  atOnce.xoff_after = 0;
  sim::Faults g(atOnce);
  EXPECT_TRUE(g.xoff_due(0));  // when the line opens
  EXPECT_EQ(std::optional<std::size_t>(0), g.vanish_within(0, 5));

  sim::Faults none(sim::Options{});
  EXPECT_FALSE(none.xoff_due(1'000'000));
  EXPECT_FALSE(none.vanish_within(0, 1'000'000));
}

TEST(SimFaults, ByteFaults) {
  struct Case {
    double drop, garble;
    bool kept;
    int flippedBits;
  } cases[] = {{0, 0, true, 0}, {1, 0, false, 0}, {0, 1, true, 1}, {1, 1, false, 0}};
  for (const Case& c : cases) {
    sim::Options o;
    o.drop_prob = c.drop;
    o.garble_prob = c.garble;
    sim::Faults f(o);
    std::mt19937_64 rng(7);
    const auto before = rng;
    std::uint8_t b = 0x5A;
    EXPECT_EQ(c.kept, f.on_byte(b, rng)) << c.drop << " " << c.garble;
    if (c.kept) {
      EXPECT_EQ(c.flippedBits, static_cast<int>(std::bitset<8>(b ^ 0x5A).count()));
    }
    // Without faults no random number is drawn, so a run without them stays as it was.
    if (c.drop == 0 && c.garble == 0) {
      EXPECT_TRUE(rng == before);
    }
  }
}

TEST(SimStats, TurnaroundFromZOnTheWireToTheNextBytes) {
  const sim::Time t0{};
  sim::TurnaroundStats s;
  EXPECT_EQ("stats: no block acknowledgement was followed by another block\n", s.summary());
  s.tx_drained(t0);  // no Z queued: nothing starts
  EXPECT_FALSE(s.awaiting());
  s.bytes_arrived(t0 + milliseconds(5));
  for (int ms : {3, 1, 2}) {
    s.z_queued();
    s.tx_drained(t0);
    EXPECT_TRUE(s.awaiting());
    s.bytes_arrived(t0 + milliseconds(ms));
    s.bytes_arrived(t0 + milliseconds(50));  // only the first bytes after a Z count
  }
  EXPECT_EQ("stats: Z -> next block, 3 turnarounds: median 2.000 ms, p99 2.000 ms, max 3.000 ms\n",
            s.summary());
}

}  // namespace
