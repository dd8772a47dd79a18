// The telnet framing of remote lines: data with every byte value survives the escaping exactly, however the
// stream is cut into reads, and the server's negotiations and replies come out as events.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/net/Telnet.h"

using namespace commos::net;

namespace {

Bytes B(std::initializer_list<int> values) {
  Bytes b;
  for (int v : values) b.push_back(static_cast<uint8_t>(v));
  return b;
}

Bytes Repeat(const Bytes& unit, size_t times) {
  Bytes b;
  for (size_t i = 0; i < times; ++i) b.insert(b.end(), unit.begin(), unit.end());
  return b;
}

struct Parsed {
  Bytes data;
  std::vector<TelnetEvent> events;
  size_t dropped = 0;
  size_t maxHeld = 0;
};

// Feeds `in` cut at the given positions (ascending), each piece as one read.
Parsed Feed(const Bytes& in, const std::vector<size_t>& cuts = {}) {
  Parsed p;
  TelnetParser parser;
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(in.size());
  for (size_t end : ends) {
    parser.Feed(in.data() + from, end - from, p.data, p.events);
    p.maxHeld = std::max(p.maxHeld, parser.Held());
    from = end;
  }
  p.dropped = parser.Dropped();
  return p;
}

std::string Describe(const std::vector<TelnetEvent>& events) {
  std::string s;
  for (const TelnetEvent& e : events) {
    s += std::to_string(e.verb) + "/" + std::to_string(e.option);
    for (uint8_t b : e.payload) s += "," + std::to_string(b);
    s += ";";
  }
  return s;
}

}  // namespace

TEST(TelnetCodec, DataRoundTripsAtEverySplit) {
  Bytes everyValue;
  for (int v = 0; v < 256; ++v) everyValue.push_back(static_cast<uint8_t>(v));
  const struct {
    const char* name;
    Bytes data;
  } cases[] = {
      {"empty", {}},
      {"a long run of 0xFF", Bytes(1000, 0xFF)},
      {"0xFF beside SB, SE and the verbs",
       Repeat(B({0xFF, 0xFA, 0xFF, 0xF0, 0xFF, 0xFF, 0xF0, 0xFF, 0xFB, 0xFF, 0xFC, 0xFF, 0xFD, 0xFF, 0xFE}),
              20)},
      {"every byte value, twice", Repeat(everyValue, 2)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes wire;
    AppendEscaped(wire, c.data.data(), c.data.size());
    size_t ffs = 0;
    for (uint8_t b : c.data) ffs += b == 0xFF;
    EXPECT_EQ(c.data.size() + ffs, wire.size());
    // Whole, byte by byte, and cut once at every position.
    EXPECT_EQ(c.data, Feed(wire).data);
    std::vector<size_t> each;
    for (size_t i = 1; i < wire.size(); ++i) each.push_back(i);
    const Parsed bytewise = Feed(wire, each);
    EXPECT_EQ(c.data, bytewise.data);
    EXPECT_TRUE(bytewise.events.empty());
    for (size_t cut = 1; cut < wire.size() && cut < 300; ++cut) {
      ASSERT_EQ(c.data, Feed(wire, {cut}).data) << "cut at " << cut;
    }
  }
}

TEST(TelnetCodec, CommandsAndRepliesAreTakenOutOfTheData) {
  const size_t cap = kMaxSubnegotiation;
  const Bytes longSub = Repeat(B({'x'}), cap);
  Bytes atCap = B({0xFF, 0xFA, 44});
  atCap.insert(atCap.end(), longSub.begin(), longSub.end());
  atCap.insert(atCap.end(), {0xFF, 0xF0, 'o', 'k'});
  Bytes overCap = B({0xFF, 0xFA, 44, 'x'});
  overCap.insert(overCap.end(), longSub.begin(), longSub.end());
  overCap.insert(overCap.end(), {'t', 'a', 'i', 'l', 0xFF, 0xFF, 0xF0});
  Bytes overCapClosed = overCap;
  overCapClosed.insert(overCapClosed.end(), {0xFF, 0xF0, 'o', 'k'});
  std::string capPayload = "250/44";
  for (size_t i = 0; i < cap; ++i) capPayload += ",120";
  capPayload += ";";
  const struct {
    const char* name;
    Bytes in;
    std::string data;
    std::string events;
    size_t dropped;
  } cases[] = {
      {"a negotiation between data", B({'a', 0xFF, 0xFD, 3, 'b'}), "ab", "253/3;", 0},
      {"every verb", B({0xFF, 0xFB, 0, 0xFF, 0xFC, 1, 0xFF, 0xFD, 44, 0xFF, 0xFE, 24}), "",
       "251/0;252/1;253/44;254/24;", 0},
      {"the rate's reply", B({0xFF, 0xFA, 44, 101, 0, 0, 0x96, 0, 0xFF, 0xF0, 'z'}), "z",
       "250/44,101,0,0,150,0;", 0},
      {"a doubled 0xFF inside a reply", B({0xFF, 0xFA, 44, 101, 0, 0, 0xFF, 0xFF, 0, 0xFF, 0xF0}), "",
       "250/44,101,0,0,255,0;", 0},
      {"another option's subnegotiation", B({0xFF, 0xFA, 24, 1, 0xFF, 0xF0, 'd'}), "d", "250/24,1;", 0},
      {"one-byte commands: NOP, GA, a stray SE", B({'1', 0xFF, 241, '2', 0xFF, 249, '3', 0xFF, 0xF0, '4'}),
       "1234", "", 0},
      {"a subnegotiation as long as allowed", atCap, "ok", capPayload, 0},
      {"an over-long subnegotiation never closed", overCap, "", "", 1},
      {"an over-long subnegotiation, dropped up to its IAC SE", overCapClosed, "ok", "", 1},
      {"a broken frame inside a subnegotiation", B({0xFF, 0xFA, 44, 1, 0xFF, 7, 0xFF, 0xF0}), "",
       "250/44,1,255,7;", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Parsed whole = Feed(c.in);
    EXPECT_EQ(c.data, std::string(whole.data.begin(), whole.data.end()));
    EXPECT_EQ(c.events, Describe(whole.events));
    EXPECT_EQ(c.dropped, whole.dropped);
    EXPECT_LE(whole.maxHeld, cap);
    for (size_t cut = 1; cut < c.in.size(); ++cut) {
      const Parsed split = Feed(c.in, {cut});
      ASSERT_EQ(whole.data, split.data) << "cut at " << cut;
      ASSERT_EQ(Describe(whole.events), Describe(split.events)) << "cut at " << cut;
    }
  }
}

// The request's frame and a 0xFF in its value doubled.
TEST(TelnetCodec, EncodedRequestsReadBackAsSent) {
  const Bytes value = B({0, 0, 0xFF, 0});
  Bytes wire;
  AppendComPort(wire, kSetBaudRate, value);
  EXPECT_EQ(B({0xFF, 0xFA, 44, 1, 0, 0, 0xFF, 0xFF, 0, 0xFF, 0xF0}), wire);
  const Parsed back = Feed(wire);
  ASSERT_EQ(1u, back.events.size());
  EXPECT_EQ(B({1, 0, 0, 0xFF, 0}), back.events[0].payload);
}
