// The telnet framing of a remote serial line, with its com-port option: a parser that splits what the server
// sends into line data and protocol events, and the encoders for what the client sends. No I/O here, so the
// whole of it can be fed arbitrary bytes (tests, fuzzing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace commos::net {

using Bytes = std::vector<uint8_t>;

// Telnet commands.
constexpr uint8_t kSe = 240;
constexpr uint8_t kSb = 250;
constexpr uint8_t kWill = 251;
constexpr uint8_t kWont = 252;
constexpr uint8_t kDo = 253;
constexpr uint8_t kDont = 254;
constexpr uint8_t kIac = 255;

// Options.
constexpr uint8_t kOptBinary = 0;
constexpr uint8_t kOptSuppressGoAhead = 3;
constexpr uint8_t kOptComPort = 44;

// Com-port option commands, client to server; the server answers with the same code plus kServerReply.
enum ComPortCommand : uint8_t {
  kSignature = 0,
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kNotifyLineState = 6,
  kNotifyModemState = 7,
  kFlowControlSuspend = 8,
  kFlowControlResume = 9,
  kSetLineStateMask = 10,
  kSetModemStateMask = 11,
  kPurgeData = 12,
};
constexpr uint8_t kServerReply = 100;

// SET-CONTROL values.
constexpr uint8_t kControlFlowNone = 1;
constexpr uint8_t kControlFlowXonXoff = 2;
constexpr uint8_t kControlFlowHardware = 3;
constexpr uint8_t kControlDtrOn = 8;
constexpr uint8_t kControlDtrOff = 9;
constexpr uint8_t kControlRtsOn = 11;
constexpr uint8_t kControlRtsOff = 12;

// PURGE-DATA values.
constexpr uint8_t kPurgeRx = 1;
constexpr uint8_t kPurgeTx = 2;
constexpr uint8_t kPurgeBoth = 3;

// A subnegotiation longer than this is not one the client understands (the longest it asks for carries four
// bytes; a server's signature is a short text): it is dropped up to its IAC SE, and only what follows that is
// line data again.
constexpr size_t kMaxSubnegotiation = 256;

// Appends `data` with every 0xFF doubled.
void AppendEscaped(Bytes& out, const uint8_t* data, size_t size);
// A com-port value of four bytes, most significant first (the rate).
Bytes BigEndian32(uint32_t v);
// Appends IAC <verb> <option>.
void AppendCommand(Bytes& out, uint8_t verb, uint8_t option);
// Appends IAC SB COM-PORT-OPTION <command> <value...> IAC SE, the value escaped.
void AppendComPort(Bytes& out, uint8_t command, const Bytes& value);

struct TelnetEvent {
  uint8_t verb = 0;  // kWill, kWont, kDo, kDont, or kSb for a subnegotiation
  uint8_t option = 0;
  Bytes payload;  // kSb: what came between the option and IAC SE, unescaped
};

class TelnetParser {
 public:
  // Parses `size` bytes that follow what was fed before: line data is appended to `data`, negotiations and
  // subnegotiations to `events`. Any split of a stream gives the same result as feeding it whole.
  void Feed(const uint8_t* in, size_t size, Bytes& data, std::vector<TelnetEvent>& events);
  // Subnegotiations dropped for their length so far.
  size_t Dropped() const { return dropped_; }
  // The bytes held for an unfinished subnegotiation (never above kMaxSubnegotiation).
  size_t Held() const { return sub_.size(); }

 private:
  enum class State { Data, Iac, Verb, SubOption, Sub, SubIac, Discard, DiscardIac };
  State state_ = State::Data;
  uint8_t verb_ = 0;
  uint8_t subOption_ = 0;
  Bytes sub_;
  size_t dropped_ = 0;
};

}  // namespace commos::net
