// The option negotiation of a remote line: which telnet options each side does, the com-port requests asked
// and confirmed, and what the server told of itself. No I/O: what is to be sent is appended to the caller's
// output, so the rules can be read (and fed) without a connection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial/net/Telnet.h"

namespace commos::net {

class Negotiation {
 public:
  // What a request sets, for the confirmations.
  enum Item { kRate, kDataSize, kParity, kStopSize, kFlow, kDtr, kRts, kPurge, kItems };
  static const char* ItemName(int item);

  // The server has said something of telnet (a negotiation or a subnegotiation).
  bool Heard() const { return heard_; }
  // After the server's greeting: asks for each option the line needs that the server has not spoken of.
  void Begin(Bytes& out);
  void OnEvent(const TelnetEvent& e, Bytes& out);
  // A com-port request; only once the server has agreed to the option (never before: RFC 855) and to binary
  // data both ways (without it the line is refused, and hears nothing of ours).
  void Request(Item item, uint8_t command, const Bytes& value, Bytes& out);
  // Every option asked for decided, and every request answered.
  bool Settled() const;
  // Why this server cannot carry the line (the com-port option or binary data refused or unanswered), or
  // empty.
  std::string Refusal() const;
  // The requests not confirmed, in words ("rate, DTR/RTS control"), or empty.
  std::string Unconfirmed() const;

  bool ComPort() const { return us_[kOptComPort] == Opt::Yes; }
  bool Binary() const { return us_[kOptBinary] == Opt::Yes && him_[kOptBinary] == Opt::Yes; }
  bool Asked(int item) const { return asked_[item]; }
  bool Confirmed(int item) const { return confirmed_[item]; }
  uint32_t ServerRate() const { return serverRate_; }
  const std::string& Signature() const { return signature_; }
  bool SignatureHeard() const { return signatureHeard_; }
  // The line errors the server has notified since the last call, as CE_ bits.
  uint32_t TakeLineErrors() {
    const uint32_t e = lineErrors_;
    lineErrors_ = 0;
    return e;
  }

 private:
  enum class Opt : uint8_t { No, Asked, Yes };

  void OnVerb(uint8_t verb, uint8_t option, Bytes& out);
  void OnComPort(const Bytes& payload);
  void Ask(uint8_t verb, uint8_t option, Bytes& out);

  bool heard_ = false;
  bool started_ = false;       // the first requests sent
  Opt us_[256] = {};           // options we do
  Opt him_[256] = {};          // options the server does
  bool spoke_[2][256] = {};    // the server has said DO/DONT (0) or WILL/WONT (1) of an option
  bool refused_[2][256] = {};  // a WONT / DONT already sent for an option we do not know
  bool asked_[kItems] = {};
  bool confirmed_[kItems] = {};
  uint32_t serverRate_ = 0;
  std::string signature_;
  bool signatureHeard_ = false;
  uint32_t lineErrors_ = 0;
};

}  // namespace commos::net
