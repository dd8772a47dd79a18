#include "serial/net/RemoteLine.h"

#include <algorithm>
#include <cstring>

#include "serial/last_error.h"
#include "toolkit/Clock.h"

namespace commos::net {

namespace {

// Unread data beyond this stays with the server (TCP holds it back) until the reader catches up.
constexpr size_t kRxLimit = 1 << 20;
// Bytes queued that nobody has read: how often the monitor looks again, as the local monitor does.
constexpr int kStaleRxPollMs = 20;

const char kGoneHint[] = " (the connection to the device server was lost; is it still running?)";

std::atomic<uint64_t> g_cutOnClose{0};

int64_t NowMs() {
  return tk::MonotonicUs() / 1000;
}

}  // namespace

RemoteLine::RemoteLine(std::string url, std::unique_ptr<Socket> socket)
    : url_(std::move(url)), socket_(std::move(socket)) {}

RemoteLine::~RemoteLine() {
  Shutdown();
}

uint64_t RemoteLine::CutOnClose() {
  return g_cutOnClose.load();
}

// ---- The connection -----------------------------------------------------------------------------------

void RemoteLine::Lost(const std::string& reason) {
  if (gone_) return;
  gone_ = true;
  goneUnreported_ = true;
  errors_ |= CE_IOE;
  lossText_ = reason;
  out_.clear();
  outSent_ = 0;
  outWaiting_ = false;
  kick_.Set();
}

void RemoteLine::Pump() {
  uint8_t buf[4096];
  std::vector<TelnetEvent> events;
  while (!gone_ && rx_.size() - rxHead_ < kRxLimit) {
    const long n = socket_->Receive(buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      Lost(socket_->LossText());
      break;
    }
    if (rxHead_ > 0 && rxHead_ == rx_.size()) rx_.clear(), rxHead_ = 0;
    const size_t before = rx_.size();
    parser_.Feed(buf, static_cast<size_t>(n), rx_, events);
    // Taken in by a read or a write, the monitor's wait would not see it arrive: tell it.
    if (rx_.size() > before) kick_.Set();
    for (const TelnetEvent& e : events) nego_.OnEvent(e, out_);
    events.clear();
  }
  if (rxHead_ > (1 << 16) && rxHead_ * 2 > rx_.size()) {
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<long>(rxHead_));
    rxHead_ = 0;
  }
}

IoResult RemoteLine::Push() {
  while (!gone_ && outSent_ < out_.size()) {
    const long n = socket_->Send(out_.data() + outSent_, out_.size() - outSent_);
    if (n < 0) {
      Lost(socket_->LossText());
      break;
    }
    if (n == 0) return IoResult::TimedOut;
    outSent_ += static_cast<size_t>(n);
  }
  if (gone_) return IoResult::Failed;
  out_.clear();
  outSent_ = 0;
  outWaiting_ = false;
  return IoResult::Done;
}

// Hands the server what it takes until all is taken or `deadlineMs` has passed; what arrives meanwhile is
// taken in, so a server that waits for us to read cannot hold our write.
IoResult RemoteLine::Drain(int64_t deadlineMs) {
  for (;;) {
    const IoResult r = Push();
    if (r != IoResult::TimedOut) return r;
    const int64_t left = deadlineMs - NowMs();
    if (left <= 0) return IoResult::TimedOut;
    if (socket_->Wait(true, true, nullptr, 0, static_cast<int>(std::min<int64_t>(left, 1000))) &
        Socket::kReadable) {
      Pump();
    }
  }
}

bool RemoteLine::Fail(const std::string& reason, ErrorKind kind) {
  return detail::Record(url_, reason, kind, "");
}

bool RemoteLine::FailGone() {
  return detail::Record(url_, lossText_, ErrorKind::Gone, kGoneHint);
}

bool RemoteLine::Usable() {
  if (closed_) return Fail("the port is closed", ErrorKind::Other);
  return true;
}

bool RemoteLine::Close() {
  return Shutdown() || Fail("the port is closed", ErrorKind::Other);
}

bool RemoteLine::Shutdown() {
  if (closed_.exchange(true)) return false;
  kick_.Set();
  std::scoped_lock lock(mutex_, monMutex_);
  if (outSent_ < out_.size()) {
    g_cutOnClose.fetch_add(1);
    cut_.fetch_add(1);
  }
  out_.clear();
  outSent_ = 0;
  outWaiting_ = false;
  socket_.reset();
  gone_ = true;  // nothing more happens on this line
  return true;
}

std::string RemoteLine::TakeNotice() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string notice;
  notice.swap(notice_);
  return notice;
}

RemoteLine::Status RemoteLine::Describe(int ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  Status s;
  if (closed_) return s;
  if (nego_.ComPort() && !signatureAsked_) {
    AppendComPort(out_, kSignature, {});  // empty: the server is to tell its own
    signatureAsked_ = true;
  }
  const int64_t deadline = NowMs() + ms;
  for (;;) {
    Push();
    Pump();
    const int64_t left = deadline - NowMs();
    if (gone_ || (nego_.Settled() && (!signatureAsked_ || nego_.SignatureHeard())) || left <= 0) break;
    socket_->Wait(true, outSent_ < out_.size(), nullptr, 0, static_cast<int>(left));
  }
  s.binary = nego_.Binary();
  s.comPort = nego_.ComPort();
  s.rate = nego_.ServerRate();
  s.signature = nego_.Signature();
  s.gone = gone_;
  for (int i = 0; i < Negotiation::kItems; ++i) {
    if (nego_.Asked(i))
      (nego_.Confirmed(i) ? s.confirmed : s.unconfirmed).push_back(Negotiation::ItemName(i));
  }
  return s;
}

// ---- Settings -----------------------------------------------------------------------------------------

bool RemoteLine::Flush() {
  if (Push() == IoResult::Failed) return FailGone();
  if (outSent_ < out_.size()) {
    outWaiting_ = true;
    kick_.Set();
  }
  return true;
}

bool RemoteLine::SetState(const Dcb& dcb) {
  using N = Negotiation;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Usable()) return false;
  if (gone_) return FailGone();
  static const uint8_t kStop[] = {1, 3, 2};  // one, one and a half, two
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 || dcb.StopBits > 2) {
    return Fail("settings the line cannot take (rate " + std::to_string(dcb.BaudRate) + ", " +
                    std::to_string(dcb.ByteSize) + " data bits, parity " + std::to_string(dcb.Parity) +
                    ", stop bits " + std::to_string(dcb.StopBits) + ")",
                ErrorKind::Other);
  }
  const uint8_t flow = (dcb.Flags & fOutxCtsFlow) || (dcb.Flags & fRtsControlMask) == fRtsControlHandshake
                           ? kControlFlowHardware
                       : (dcb.Flags & (fOutX | fInX)) ? kControlFlowXonXoff
                                                      : kControlFlowNone;
  // Only what changed: a rate sent again would make some servers reprogram the line (and drop what it holds).
  // Queued behind the data written before, so every byte goes out with the settings it was written under.
  if (!stateSent_ || dcb.BaudRate != sent_.BaudRate)
    nego_.Request(N::kRate, kSetBaudRate, BigEndian32(dcb.BaudRate), out_);
  if (!stateSent_ || dcb.ByteSize != sent_.ByteSize)
    nego_.Request(N::kDataSize, kSetDataSize, {dcb.ByteSize}, out_);
  if (!stateSent_ || dcb.Parity != sent_.Parity)
    nego_.Request(N::kParity, kSetParity, {static_cast<uint8_t>(dcb.Parity + 1)}, out_);
  if (!stateSent_ || dcb.StopBits != sent_.StopBits)
    nego_.Request(N::kStopSize, kSetStopSize, {kStop[dcb.StopBits]}, out_);
  if (flow != flowSent_) nego_.Request(N::kFlow, kSetControl, {flow}, out_);
  stateSent_ = true;
  sent_ = dcb;
  flowSent_ = flow;
  dcb_ = dcb;
  return Flush();
}

bool RemoteLine::State(Dcb* dcb) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Usable()) return false;
  *dcb = dcb_;
  return true;
}

bool RemoteLine::SetTimeouts(const CommTimeouts& timeouts) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Usable()) return false;
  timeouts_ = timeouts;
  return true;
}

bool RemoteLine::SetupQueues(int32_t inQueue, int32_t outQueue) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Usable()) return false;
  // Our queues grow as needed; only nonsense sizes are refused, as on a local port.
  if (inQueue <= 0 || outQueue <= 0) return Fail("no queue of that size", ErrorKind::Other);
  return true;
}

bool RemoteLine::SetMask(uint32_t mask) {
  if (closed_) return Fail("the port is closed", ErrorKind::Other);
  mask_.store(mask);
  kick_.Set();
  return true;
}

bool RemoteLine::Escape(uint32_t func) {
  using N = Negotiation;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Usable()) return false;
  switch (func) {
    case SETDTR:
    case CLRDTR:
      if (gone_) return FailGone();
      nego_.Request(N::kDtr, kSetControl, {func == SETDTR ? kControlDtrOn : kControlDtrOff}, out_);
      break;
    case SETRTS:
    case CLRRTS:
      if (gone_) return FailGone();
      nego_.Request(N::kRts, kSetControl, {func == SETRTS ? kControlRtsOn : kControlRtsOff}, out_);
      break;
    default:
      return Fail("no such line function (" + std::to_string(func) + ")", ErrorKind::Other);
  }
  return Flush();
}

bool RemoteLine::Purge(uint32_t flags) {
  using N = Negotiation;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Usable()) return false;
  const bool rx = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
  const bool tx = flags & (PURGE_TXABORT | PURGE_TXCLEAR);
  if (!rx && !tx) return true;
  ++readSeq_;
  if (rx) {
    Pump();  // what the server has already sent is gone too
    rx_.clear();
    rxHead_ = 0;
  }
  if (gone_) return true;
  nego_.Request(N::kPurge, kPurgeData, {rx && tx ? kPurgeBoth : rx ? kPurgeRx : kPurgeTx}, out_);
  return Flush();
}

// ---- Transfers ----------------------------------------------------------------------------------------

IoResult RemoteLine::Read(void* data, uint32_t count, uint32_t* read) {
  *read = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Usable()) return IoResult::Failed;
  ++readSeq_;
  Pump();
  const size_t n = std::min<size_t>(count, rx_.size() - rxHead_);
  if (n > 0) std::memcpy(data, rx_.data() + rxHead_, n);
  rxHead_ += n;
  if (rxHead_ == rx_.size()) rx_.clear(), rxHead_ = 0;
  *read = static_cast<uint32_t>(n);
  return IoResult::Done;
}

// How many of the `count` data bytes escaped into out_ from `from` have been sent.
uint32_t RemoteLine::DataBytesSent(size_t from, uint32_t count) const {
  uint32_t sent = 0;
  for (size_t i = from; i < outSent_ && sent < count; ++i) {
    if (out_[i] == kIac) ++i;  // the doubled 0xFF is one byte, sent only when both are
    if (i < outSent_) ++sent;
  }
  return sent;
}

IoResult RemoteLine::Write(const void* data, uint32_t count, uint32_t* written, uint32_t timeoutMs,
                           bool watchTxEmpty) {
  *written = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Usable()) return IoResult::Failed;
  if (gone_) return FailGone(), IoResult::Failed;
  const int64_t deadline = NowMs() + timeoutMs;
  // An earlier write's rest (and settings queued behind it) goes first; while it cannot, nothing of this one
  // is taken.
  IoResult result = Drain(deadline);
  if (result == IoResult::Failed) return FailGone(), IoResult::Failed;
  if (result != IoResult::Done) return result;
  if (count == 0) return IoResult::Done;
  const size_t from = out_.size();
  AppendEscaped(out_, static_cast<const uint8_t*>(data), count);
  result = Drain(deadline);
  if (result == IoResult::Failed) return FailGone(), IoResult::Failed;
  *written = result == IoResult::Done ? count : DataBytesSent(from, count);
  if (result == IoResult::TimedOut) {
    // Not dropped: the rest stays pending and goes out as the server takes it (the monitor pushes it).
    outWaiting_ = true;
    kick_.Set();
  }
  if (watchTxEmpty && *written > 0 && (mask_.load() & EV_TXEMPTY)) {
    txPending_ = true;
    kick_.Set();
  }
  return result;
}

IoResult RemoteLine::WaitWrite(uint32_t timeoutMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Usable()) return IoResult::Failed;
  if (gone_) return FailGone(), IoResult::Failed;
  const IoResult result = Drain(NowMs() + timeoutMs);
  if (result == IoResult::Failed) FailGone();
  return result;
}

bool RemoteLine::ClearError(uint32_t* errors, ComStat* stat) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Usable()) return false;
  Pump();
  if (errors) *errors = errors_ | nego_.TakeLineErrors();
  errors_ = 0;
  if (stat) {
    stat->cbInQue = static_cast<uint32_t>(rx_.size() - rxHead_);
    stat->cbOutQue = static_cast<uint32_t>(out_.size() - outSent_);
  }
  return true;
}

uint32_t RemoteLine::Look(uint32_t m, Watch* watch) {
  Pump();
  uint32_t events = 0;
  // Its writer waits for this, not looking itself.
  if (outWaiting_ && Push() != IoResult::TimedOut) events |= EV_WRITEDONE;
  if ((m & EV_ERR) && goneUnreported_) {
    events |= EV_ERR;
    goneUnreported_ = false;
  }
  const size_t queued = rx_.size() - rxHead_;
  if (!gone_ && (m & EV_RXCHAR) && queued > 0 && (readSeq_ != seqAtReport_ || queued > rxAtReport_)) {
    events |= EV_RXCHAR;
    seqAtReport_ = readSeq_;
    rxAtReport_ = queued;
  }
  if (!gone_ && (m & EV_TXEMPTY) && txPending_ && outSent_ == out_.size()) {
    txPending_ = false;
    events |= EV_TXEMPTY;
  }
  watch->socket = !gone_ && queued < kRxLimit;
  watch->write = !gone_ && outWaiting_;
  watch->stale = !gone_ && (m & EV_RXCHAR) && queued > 0;
  return events;
}

bool RemoteLine::WaitEvent(uint32_t* mask, const WaitableEvent& wake) {
  *mask = 0;
  std::unique_lock<std::mutex> mon(monMutex_);
  for (;;) {
    if (closed_) {
      mon.unlock();
      // Nothing more will happen on this handle: wait for the owner to stop us, without spinning.
      wake.Wait(50);
      return Fail("the port is closed", ErrorKind::Other);
    }
    if (wake.IsSet()) return Fail("the wait was ended", ErrorKind::Other);
    kick_.Reset();
    Watch watch;
    uint32_t events = 0;
    {
      std::unique_lock<std::mutex> io(mutex_, std::try_to_lock);
      if (!io.owns_lock()) {
        // A call is at work on the connection and takes in what comes: look again shortly.
        wake.Wait(2);
        continue;
      }
      events = Look(mask_.load(), &watch);
    }
    if (events) {
      *mask = events;
      return true;
    }
    const NativeEvent events2[] = {wake.Native(), kick_.Native()};
    socket_->Wait(watch.socket, watch.write, events2, 2, watch.stale ? kStaleRxPollMs : -1);
  }
}

bool RemoteLine::PollEvent(uint32_t* mask) {
  *mask = 0;
  std::lock_guard<std::mutex> mon(monMutex_);
  if (closed_) return Fail("the port is closed", ErrorKind::Other);
  // A call at work on the connection takes in what comes; the next look tells it.
  std::unique_lock<std::mutex> io(mutex_, std::try_to_lock);
  if (!io.owns_lock()) return false;
  Watch watch;
  *mask = Look(mask_.load(), &watch);
  return *mask != 0;
}

}  // namespace commos::net
