#include "serial/net/Negotiation.h"

#include "serial/CommOs.h"

namespace commos::net {

namespace {

const char* const kItemNames[] = {"rate",         "data bits", "parity", "stop bits",
                                  "flow control", "DTR",       "RTS",    "purge"};

bool Supported(uint8_t option, bool ours) {
  // We send binary data and need no go-ahead either way; the com-port option is ours only.
  return option == kOptBinary || option == kOptSuppressGoAhead || (ours && option == kOptComPort);
}

}  // namespace

const char* Negotiation::ItemName(int item) {
  return kItemNames[item];
}

void Negotiation::Ask(uint8_t verb, uint8_t option, Bytes& out) {
  const bool ours = verb == kWill;
  Opt& state = ours ? us_[option] : him_[option];
  // What the server has spoken of is decided (we answered it); asking again would only start a loop.
  if (state != Opt::No || spoke_[ours ? 0 : 1][option]) return;
  AppendCommand(out, verb, option);
  state = Opt::Asked;
}

void Negotiation::Begin(Bytes& out) {
  for (const uint8_t option : {kOptBinary, kOptSuppressGoAhead}) {
    Ask(kWill, option, out);
    Ask(kDo, option, out);
  }
  Ask(kWill, kOptComPort, out);
}

bool Negotiation::Settled() const {
  if (us_[kOptComPort] == Opt::Asked || us_[kOptBinary] == Opt::Asked || him_[kOptBinary] == Opt::Asked) {
    return false;
  }
  for (int i = 0; i < kItems; ++i) {
    if (asked_[i] && !confirmed_[i]) return false;
  }
  return true;
}

std::string Negotiation::Refusal() const {
  if (!ComPort()) {
    return "does not speak RFC 2217 (the com-port option was refused or not answered): is it a plain "
           "telnet port?";
  }
  for (const bool toLine : {true, false}) {
    if ((toLine ? us_ : him_)[kOptBinary] != Opt::Yes) {
      return std::string("the server did not agree to binary data (telnet BINARY) ") +
             (toLine ? "to" : "from") + " the line: the firmware's bytes would not pass unchanged";
    }
  }
  return {};
}

std::string Negotiation::Unconfirmed() const {
  std::string text;
  auto add = [&text](const std::string& what) { text += (text.empty() ? "" : ", ") + what; };
  for (int i = 0; i < kItems; ++i) {
    if (!asked_[i] || confirmed_[i]) continue;
    if (i == kDtr && asked_[kRts] && !confirmed_[kRts]) {
      add("DTR/RTS control");
      ++i;  // RTS told with it
    } else {
      add(std::string(kItemNames[i]) + (i == kDtr || i == kRts ? " control" : ""));
    }
  }
  return text;
}

void Negotiation::Request(Item item, uint8_t command, const Bytes& value, Bytes& out) {
  if (!ComPort() || !Binary()) return;
  AppendComPort(out, command, value);
  asked_[item] = true;
  confirmed_[item] = false;
}

void Negotiation::OnEvent(const TelnetEvent& e, Bytes& out) {
  heard_ = true;
  if (e.verb == kSb) {
    if (e.option == kOptComPort) OnComPort(e.payload);
  } else {
    OnVerb(e.verb, e.option, out);
  }
}

// Each side's option moves No -> Asked -> Yes; an answer is sent only where the state changes, so two peers
// can never keep answering each other. An option we do not know is refused once.
void Negotiation::OnVerb(uint8_t verb, uint8_t option, Bytes& out) {
  const bool ours = verb == kDo || verb == kDont;
  Opt& state = ours ? us_[option] : him_[option];
  spoke_[ours ? 0 : 1][option] = true;
  const bool enable = verb == kDo || verb == kWill;
  if (enable) {
    if (!Supported(option, ours)) {
      bool& refused = refused_[ours ? 0 : 1][option];
      if (!refused) AppendCommand(out, ours ? kWont : kDont, option);
      refused = true;
      return;
    }
    if (state == Opt::No) AppendCommand(out, ours ? kWill : kDo, option);
    state = Opt::Yes;
    if (!started_ && ComPort() && Binary()) {
      // The line is ours: raise DTR and RTS as a local port's open does, and ask which rate it has.
      started_ = true;
      Request(kDtr, kSetControl, {kControlDtrOn}, out);
      Request(kRts, kSetControl, {kControlRtsOn}, out);
      Request(kRate, kSetBaudRate, BigEndian32(0), out);
    }
  } else {
    if (state == Opt::Yes) AppendCommand(out, ours ? kWont : kDont, option);
    state = Opt::No;
  }
}

void Negotiation::OnComPort(const Bytes& payload) {
  if (payload.empty() || payload[0] < kServerReply) return;
  const uint8_t command = payload[0] - kServerReply;
  const size_t size = payload.size() - 1;
  const uint8_t value = size > 0 ? payload[1] : 0;
  switch (command) {
    case kSignature:
      signature_.assign(payload.begin() + 1, payload.end());
      signatureHeard_ = true;
      break;
    case kSetBaudRate:
      if (size == 4) {
        serverRate_ = uint32_t{payload[1]} << 24 | uint32_t{payload[2]} << 16 | uint32_t{payload[3]} << 8 |
                      uint32_t{payload[4]};
        confirmed_[kRate] = true;
      }
      break;
    case kSetDataSize:
      confirmed_[kDataSize] = true;
      break;
    case kSetParity:
      confirmed_[kParity] = true;
      break;
    case kSetStopSize:
      confirmed_[kStopSize] = true;
      break;
    case kSetControl:
      if (value >= kControlFlowNone && value <= kControlFlowHardware) confirmed_[kFlow] = true;
      if (value == kControlDtrOn || value == kControlDtrOff) confirmed_[kDtr] = true;
      if (value == kControlRtsOn || value == kControlRtsOff) confirmed_[kRts] = true;
      break;
    case kNotifyLineState:
      // Overrun, parity, framing and break, as a local port's error counters report them.
      if (value & 0x02) lineErrors_ |= CE_OVERRUN;
      if (value & 0x04) lineErrors_ |= CE_RXPARITY;
      if (value & 0x08) lineErrors_ |= CE_FRAME;
      if (value & 0x10) lineErrors_ |= CE_BREAK;
      break;
    case kPurgeData:
      confirmed_[kPurge] = true;
      break;
    default:
      break;
  }
}

}  // namespace commos::net
