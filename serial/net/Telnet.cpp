#include "serial/net/Telnet.h"

namespace commos::net {

void AppendEscaped(Bytes& out, const uint8_t* data, size_t size) {
  out.reserve(out.size() + size);
  for (size_t i = 0; i < size; ++i) {
    out.push_back(data[i]);
    if (data[i] == kIac) out.push_back(kIac);
  }
}

Bytes BigEndian32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
}

void AppendCommand(Bytes& out, uint8_t verb, uint8_t option) {
  out.insert(out.end(), {kIac, verb, option});
}

void AppendComPort(Bytes& out, uint8_t command, const Bytes& value) {
  out.insert(out.end(), {kIac, kSb, kOptComPort, command});
  AppendEscaped(out, value.data(), value.size());
  out.insert(out.end(), {kIac, kSe});
}

void TelnetParser::Feed(const uint8_t* in, size_t size, Bytes& data, std::vector<TelnetEvent>& events) {
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = in[i];
    switch (state_) {
      case State::Data:
        if (b == kIac) {
          state_ = State::Iac;
        } else {
          data.push_back(b);
        }
        break;
      case State::Iac:
        if (b == kIac) {
          data.push_back(kIac);
          state_ = State::Data;
        } else if (b >= kWill && b <= kDont) {
          verb_ = b;
          state_ = State::Verb;
        } else if (b == kSb) {
          state_ = State::SubOption;
        } else {
          state_ = State::Data;  // NOP, GA, a stray SE and the other one-byte commands carry nothing for us
        }
        break;
      case State::Verb:
        events.push_back(TelnetEvent{verb_, b, {}});
        state_ = State::Data;
        break;
      case State::SubOption:
        subOption_ = b;
        sub_.clear();
        state_ = State::Sub;
        break;
      case State::Sub:
      case State::SubIac:
        if (state_ == State::SubIac) {
          state_ = State::Sub;
          if (b == kSe) {
            events.push_back(TelnetEvent{kSb, subOption_, std::move(sub_)});
            sub_.clear();
            state_ = State::Data;
            break;
          }
          // IAC IAC is a 0xFF of the payload; anything else after IAC is a broken frame, kept as it came.
          if (b != kIac) sub_.push_back(kIac);
        } else if (b == kIac) {
          state_ = State::SubIac;
          break;
        }
        sub_.push_back(b);
        if (sub_.size() > kMaxSubnegotiation) {
          // Not one of ours: its bytes are dropped up to its IAC SE, never taken for line data.
          sub_.clear();
          sub_.shrink_to_fit();
          ++dropped_;
          state_ = State::Discard;
        }
        break;
      case State::Discard:
        if (b == kIac) state_ = State::DiscardIac;
        break;
      case State::DiscardIac:
        // IAC IAC is a 0xFF inside it; only IAC SE ends it.
        state_ = b == kSe ? State::Data : State::Discard;
        break;
    }
  }
}

}  // namespace commos::net
