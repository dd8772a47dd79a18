// A serial line behind a device server, reached over TCP with the telnet com-port option: the state of one
// open remote port (received data, the unsent rest of writes, option states, the last settings) and every
// call of the operating-system layer on it. Both systems' commos files hand a remote handle's calls to it, so
// the component above sees a remote port as it sees a local one.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/CommOs.h"
#include "serial/net/Negotiation.h"
#include "serial/net/Socket.h"
#include "serial/net/Telnet.h"

namespace commos::net {

// How long a connect may take; how long the server has to greet us in telnet once connected (a device server
// speaks first, a raw TCP port never does); how long the open then waits for its first requests' answers.
constexpr int kConnectMs = 3000;
constexpr int kGreetingMs = 1000;
constexpr int kNegotiateMs = 300;

class RemoteLine {
 public:
  // Connects to host:tcpPort and negotiates, on the calling thread. On failure: empty, with the reason as the
  // last error (kind Missing: nothing answers there now; Other: what answers is no RFC 2217 server). Nothing
  // is sent before the server has greeted us in telnet, and nothing of the com-port option before it agreed.
  // `cancel`, when set, ends the negotiation early (the line is then not wanted any more).
  static std::unique_ptr<RemoteLine> Open(const std::string& url, const std::string& host, uint16_t tcpPort,
                                          const std::atomic<bool>* cancel = nullptr);
  // The same for a port name as the user gave it ("rfc2217://HOST:PORT"); a malformed one is told as such.
  static std::unique_ptr<RemoteLine> OpenName(const std::string& name);
  ~RemoteLine();
  RemoteLine(const RemoteLine&) = delete;
  RemoteLine& operator=(const RemoteLine&) = delete;

  const std::string& Url() const { return url_; }
  // One line for the log about what the server did not confirm at open, or empty; taking it clears it.
  std::string TakeNotice();

  // What the server has shown of itself, for a technician checking a device server.
  struct Status {
    bool binary = false;                              // both directions 8-bit clean
    bool comPort = false;                             // the com-port option accepted
    uint32_t rate = 0;                                // the rate the server last reported (0: none)
    std::string signature;                            // the server's own description, when it gave one
    std::vector<std::string> confirmed, unconfirmed;  // the requests so far, by what they set
    bool gone = false;
  };
  // Waits up to `ms` for answers still outstanding, then tells.
  Status Describe(int ms);

  bool SetState(const Dcb& dcb);
  bool State(Dcb* dcb);
  bool SetTimeouts(const CommTimeouts& timeouts);
  bool SetupQueues(int32_t inQueue, int32_t outQueue);
  bool SetMask(uint32_t mask);
  bool Escape(uint32_t func);
  bool Purge(uint32_t flags);
  IoResult Read(void* data, uint32_t count, uint32_t* read);
  IoResult Write(const void* data, uint32_t count, uint32_t* written, uint32_t timeoutMs, bool watchTxEmpty);
  IoResult WaitWrite(uint32_t timeoutMs);
  bool ClearError(uint32_t* errors, ComStat* stat);
  bool WaitEvent(uint32_t* mask, const WaitableEvent& wake);
  // The same look without the wait: PollCommEvent.
  bool PollEvent(uint32_t* mask);
  // Ends the connection (the unsent rest dropped) and wakes the monitor. True the first time.
  bool Close();

  // Unsent bytes dropped by closes, over all remote lines.
  static uint64_t CutOnClose();
  // The same for this line (0 or 1).
  uint64_t Cut() const { return cut_.load(); }

 private:
  RemoteLine(std::string url, std::unique_ptr<Socket> socket);

  bool Shutdown();  // Close without a failure to record: true the first time
  bool Fail(const std::string& reason, ErrorKind kind);
  bool FailGone();
  bool Usable();  // not closed (else the failure recorded); under mutex_
  void Lost(const std::string& reason);
  void Pump();
  IoResult Push();
  IoResult Drain(int64_t deadlineMs);
  // Hands the server what it takes of the queued requests now; the monitor pushes the rest. False (the loss
  // recorded) when the connection is lost.
  bool Flush();
  uint32_t DataBytesSent(size_t from, uint32_t count) const;
  // What the monitor should watch for next: data (there is room for it), room to write, unread data.
  struct Watch {
    bool socket = false, write = false, stale = false;
  };
  // One look at the line (under mutex_): the events of mask m since the last, and what to watch for next.
  uint32_t Look(uint32_t m, Watch* watch);

  const std::string url_;
  std::unique_ptr<Socket> socket_;
  WaitableEvent kick_;  // wakes the monitor: a close, a new mask, a write left pending

  std::mutex mutex_;     // everything below, and the socket's sends and receives
  std::mutex monMutex_;  // the socket in the monitor's wait, against Close
  std::atomic<bool> closed_{false};
  std::atomic<uint32_t> mask_{0};
  std::atomic<uint64_t> cut_{0};

  TelnetParser parser_;
  Bytes rx_;  // received line data not yet read, from rxHead_
  size_t rxHead_ = 0;
  Bytes out_;  // what the server has not taken yet, escaped, in order, from outSent_
  size_t outSent_ = 0;
  bool outWaiting_ = false;  // a write's rest is pending: the monitor pushes it when there is room
  bool txPending_ = false;
  bool gone_ = false;
  bool goneUnreported_ = false;
  uint32_t errors_ = 0;
  std::string lossText_;
  uint64_t readSeq_ = 0;

  Dcb dcb_;
  bool stateSent_ = false;
  Dcb sent_;
  uint8_t flowSent_ = 0;
  CommTimeouts timeouts_;

  Negotiation nego_;
  bool signatureAsked_ = false;
  std::string notice_;

  // The monitor's own (under monMutex_).
  uint64_t seqAtReport_ = ~uint64_t{0};
  size_t rxAtReport_ = 0;
};

}  // namespace commos::net
