// The telnet parser of remote lines on arbitrary server output: the same result however the stream is cut
// into reads, line data exactly as a plain un-doubling gives it where the stream holds no other command,
// escaped data back unchanged, and never more held for an unfinished subnegotiation than the cap.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "serial/net/Telnet.h"

using namespace commos::net;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Result {
  Bytes data;
  std::vector<TelnetEvent> events;
};

// Feeds `in` in pieces whose lengths come from `seed`, checking the parser's hold after each.
Result FeedSplit(const uint8_t* in, size_t size, uint32_t seed) {
  Result r;
  TelnetParser parser;
  size_t at = 0;
  while (at < size) {
    seed = seed * 1103515245u + 12345u;
    const size_t piece = std::min<size_t>(size - at, 1 + (seed >> 16) % 17);
    parser.Feed(in + at, piece, r.data, r.events);
    Check(parser.Held() <= kMaxSubnegotiation);
    at += piece;
  }
  return r;
}

// The data of a stream whose only command is IAC IAC; false where it holds another.
bool PlainUndoubling(const uint8_t* in, size_t size, Bytes* out) {
  for (size_t i = 0; i < size; ++i) {
    if (in[i] != kIac) {
      out->push_back(in[i]);
    } else if (i + 1 < size && in[i + 1] == kIac) {
      out->push_back(kIac);
      ++i;
    } else {
      return false;
    }
  }
  return true;
}

bool SameEvents(const std::vector<TelnetEvent>& a, const std::vector<TelnetEvent>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].verb != b[i].verb || a[i].option != b[i].option || a[i].payload != b[i].payload) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t seed = data[0];
  const uint8_t* in = data + 1;
  const size_t n = size - 1;

  // As server output: cut anywhere, the same.
  Result whole;
  TelnetParser parser;
  parser.Feed(in, n, whole.data, whole.events);
  Check(parser.Held() <= kMaxSubnegotiation);
  Check(whole.data.size() <= n);
  const Result split = FeedSplit(in, n, seed);
  Check(split.data == whole.data);
  Check(SameEvents(split.events, whole.events));
  Bytes reference;
  if (PlainUndoubling(in, n, &reference)) {
    Check(whole.data == reference);
    Check(whole.events.empty());
  }

  // As line data: escaped, it comes back unchanged, with no event.
  Bytes wire;
  AppendEscaped(wire, in, n);
  const Result back = FeedSplit(wire.data(), wire.size(), seed ^ 0x5a5a);
  Check(back.data == Bytes(in, in + n));
  Check(back.events.empty());
  return 0;
}
