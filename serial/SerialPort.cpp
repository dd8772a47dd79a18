#include "serial/SerialPort.h"

#include <cstdio>

namespace serial {

// ---- Value tables -------------------------------------------------------------------------------------

uint32_t BaudRateValue(TBaudrate b) {
  static constexpr uint32_t kRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                        19200, 38400, 56000, 57600, 115200, 128000, 256000};
  return b <= br256000 ? kRates[b] : 9600;
}

uint8_t ParityValue(TParity p) {
  return static_cast<uint8_t>(p);
}
uint8_t StopbitsValue(TStopbits s) {
  return static_cast<uint8_t>(s);
}
uint8_t DatabitsValue(TDatabits d) {
  return static_cast<uint8_t>(d + 4);
}

uint32_t EventMaskOf(TCommEventTypes events) {
  static constexpr uint32_t kBits[] = {commos::EV_BREAK,  commos::EV_CTS,    commos::EV_DSR,
                                       commos::EV_ERR,    commos::EV_RING,   commos::EV_RLSD,
                                       commos::EV_RXCHAR, commos::EV_RXFLAG, commos::EV_TXEMPTY};
  uint32_t mask = 0;
  for (int i = evBreak; i <= evTxEmpty; ++i) {
    if (events.Has(static_cast<TCommEventType>(i))) mask |= kBits[i];
  }
  return mask;
}

uint32_t FlagWord(TFlowControl flow, TCommOptions options) {
  uint32_t word = commos::fBinary;
  switch (flow) {
    case fcCTS:
      word = 0x2005;
      break;
    case fcDTR:
      word = 0x0029;
      break;
    case fcSoftware:
      word = 0x0301;
      break;
    case fcNone:
    case fcDefault:
      word = 0x0001;
      break;
  }
  static constexpr uint32_t kOptionBits[] = {commos::fParity, commos::fDsrSensitivity,
                                             commos::fTXContinueOnXoff, commos::fErrorChar, commos::fNull};
  for (int i = coParityCheck; i <= coNullStrip; ++i) {
    if (options.Has(static_cast<TCommOption>(i))) {
      word |= kOptionBits[i];
    } else {
      word &= ~kOptionBits[i];
    }
  }
  return word;
}

// ---- TCommEventChars ----------------------------------------------------------------------------------

void TCommEventChars::SetEventChar(int index, char c) {
  chars_[index - 1] = c;
  if (Owner) Owner->UpdateDataControlBlock();
}

void TCommEventChars::Assign(const TCommEventChars& source) {
  for (int i = 0; i < 5; ++i) chars_[i] = source.chars_[i];
}

// ---- TCustomComm --------------------------------------------------------------------------------------

TCustomComm::TCustomComm() = default;

TCustomComm::~TCustomComm() {
  // Handlers may point into an owner that is going away too: none may run from here on.
  OnRxChar = nullptr;
  OnError = nullptr;
  // A connection still being made for this component is nobody's once it comes.
  if (OpenPending()) commos::CancelOpen(pinned_.empty() ? DeviceName_ : pinned_);
  try {
    Close();
  } catch (...) {
  }
}

void TCustomComm::ReportError(const std::string& message, int code) {
  if (OnError) {
    TCommErrorEvent handler = OnError;
    handler(this, code);
    return;
  }
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, " (Error: %d) ", code);
  throw ECommError(message + suffix, code);
}

void TCustomComm::Report(TCommErrorCode code) {
  ReportError(CommErrorText(code), code);
}

void TCustomComm::RequireClosed() {
  if (Connected()) Report(kErrPortOpen);
}

bool TCustomComm::PendingOpenEnded() const {
  return !OpenPending() || commos::OpenEnded(pinned_.empty() ? DeviceName_ : pinned_);
}

void TCustomComm::OpenHandle() {
  openNotice_.clear();
  const std::string& target = pinned_.empty() ? DeviceName_ : pinned_;
  Handle = commos::CreateFile(target, waitForConnect_);
  openPending_ = false;
  if (!Handle) {
    lastOsError_ = commos::LastErrorText();
    lastErrorKind_ = commos::LastErrorKind();
    // Not a failure yet: the next Open takes the connection, or tells why there is none.
    openPending_ = lastErrorKind_ == commos::ErrorKind::Pending;
    if (openPending_) return;
    Report(kErrNotInstalled);
    return;
  }
  if (commos::GetFileType(Handle) == commos::FILE_TYPE_DISK) {
    lastOsError_ = commos::ResolvePortName(target) + ": a regular file, not a serial device";
    lastErrorKind_ = commos::ErrorKind::Other;
    ReleaseHandle();
    Report(kErrInvalidHandle);
    return;
  }
  openNotice_ = commos::TakeOpenNotice();
}

void TCustomComm::Open() {
  RequireClosed();
  // The report may return (OnError assigned): an open port must then stay as it is, handle and monitor alike.
  if (Connected()) return;
  OpenHandle();
  if (!Connected()) return;
  EventThread = new TCommEventThread(Handle, MonitorEvents_);
  EventThread->OnCommEvent = [this](TCommEventThread* sender, uint32_t mask) {
    DispatchCommEvents(sender, mask);
  };
  UpdateCommTimeouts();
  UpdateDataControlBlock();
  if (!commos::SetupComm(Handle, ReadBufSize_, WriteBufSize_)) {
    Report(kErrBuffers);
  }
}

void TCustomComm::Close() {
  if (!Connected()) return;
  heldErrors_ = 0;
  if (EventThread) {
    // An event the monitor has already handed to the UI thread may still be queued there; it must find no
    // handler, even once this component is gone.
    EventThread->OnCommEvent = nullptr;
    EventThread->Stop();  // the thread frees itself once it has left its loop
    EventThread = nullptr;
  }
  ReleaseHandle();
}

void TCustomComm::ReleaseHandle() {
  commos::CloseHandle(Handle);
  closedCuts_ = CancelledTransfers();
  Handle.reset();
}

commos::TransferCancels TCustomComm::CancelledTransfers() const {
  const commos::TransferCancels open = commos::CancelledTransfers(Handle);
  return {closedCuts_.onTimeout + open.onTimeout, closedCuts_.onClose + open.onClose};
}

void TCustomComm::UpdateCommTimeouts() {
  commos::CommTimeouts t;
  t.ReadIntervalTimeout = 0xFFFFFFFFu;  // a read returns at once with what has arrived
  if (!commos::SetCommTimeouts(Handle, t)) Report(kErrTimeouts);
}

void TCustomComm::ApplyFlowControl() {
  DCB_.Flags = FlagWord(FlowControl_, Options_);
}

void TCustomComm::UpdateDataControlBlock() {
  if (!Connected()) return;
  commos::GetCommState(Handle, &DCB_);
  DCB_.BaudRate = BaudRateValue(BaudRate_);
  DCB_.Parity = ParityValue(Parity_);
  DCB_.StopBits = StopbitsValue(Stopbits_);
  DCB_.ByteSize = DatabitsValue(Databits_);
  DCB_.XonChar = EventChars_.XonChar();
  DCB_.XoffChar = EventChars_.XoffChar();
  DCB_.ErrorChar = EventChars_.ErrorChar();
  DCB_.EofChar = EventChars_.EofChar();
  DCB_.EvtChar = EventChars_.EvtChar();
  DCB_.XonLim = static_cast<uint16_t>(ReadBufSize_ / 4);
  DCB_.XoffLim = DCB_.XonLim;
  ApplyFlowControl();
  if (!commos::SetCommState(Handle, DCB_)) Report(kErrDcb);
}

void TCustomComm::SetDeviceName(const std::string& name) {
  if (name == DeviceName_) return;
  RequireClosed();
  DeviceName_ = name;
  pinned_.clear();
}

const std::string& TCustomComm::PinDevice() {
  pinned_ = StableDeviceName();
  return pinned_;
}

void TCustomComm::SetReadBufSize(int size) {
  if (size == ReadBufSize_) return;
  RequireClosed();
  ReadBufSize_ = size;
}

void TCustomComm::SetWriteBufSize(int size) {
  if (size == WriteBufSize_) return;
  RequireClosed();
  WriteBufSize_ = size;
}

void TCustomComm::SetMonitorEvents(TCommEventTypes events) {
  if (events == MonitorEvents_) return;
  RequireClosed();
  MonitorEvents_ = events;
}

void TCustomComm::SetBaudRate(TBaudrate value) {
  if (value == BaudRate_) return;
  BaudRate_ = value;
  UpdateDataControlBlock();
}

void TCustomComm::SetParity(TParity value) {
  if (value == Parity_) return;
  Parity_ = value;
  UpdateDataControlBlock();
}

void TCustomComm::SetStopbits(TStopbits value) {
  if (value == Stopbits_) return;
  Stopbits_ = value;
  UpdateDataControlBlock();
}

void TCustomComm::SetDatabits(TDatabits value) {
  if (value == Databits_) return;
  Databits_ = value;
  UpdateDataControlBlock();
}

void TCustomComm::SetOptions(TCommOptions value) {
  if (value == Options_) return;
  Options_ = value;
  UpdateDataControlBlock();
}

void TCustomComm::SetFlowControl(TFlowControl value) {
  if (value == FlowControl_) return;
  FlowControl_ = value;
  UpdateDataControlBlock();
}

int TCustomComm::Write(const void* buffer, int count) {
  std::lock_guard<std::mutex> lock(IoLock);
  uint32_t written = 0;
  const auto result = commos::WriteFile(
      Handle, buffer, count > 0 ? static_cast<uint32_t>(count) : 0u, &written,
      WriteTimeout_ > 0 ? static_cast<uint32_t>(WriteTimeout_) : 0u, static_cast<bool>(OnTxEmpty));
  switch (result) {
    case commos::IoResult::Done:
      return static_cast<int>(written);
    case commos::IoResult::TimedOut:
      return -1;
    case commos::IoResult::Failed:
      break;
  }
  Report(kErrWrite);
  return 0;
}

int TCustomComm::WaitWrite(int ms) {
  std::lock_guard<std::mutex> lock(IoLock);
  if (!Connected()) return -1;
  switch (commos::WaitWrite(Handle, ms > 0 ? static_cast<uint32_t>(ms) : 0u)) {
    case commos::IoResult::Done:
      return 1;
    case commos::IoResult::TimedOut:
      return 0;
    case commos::IoResult::Failed:
      break;
  }
  Report(kErrWrite);
  return -1;
}

void TCustomComm::PurgeOutput() {
  std::lock_guard<std::mutex> lock(IoLock);
  if (Connected()) commos::PurgeComm(Handle, commos::PURGE_TXABORT | commos::PURGE_TXCLEAR);
}

int TCustomComm::Read(void* buffer, int count) {
  std::lock_guard<std::mutex> lock(IoLock);
  if (!Connected()) return -1;
  uint32_t read = 0;
  const auto result = commos::ReadFile(Handle, buffer, count > 0 ? static_cast<uint32_t>(count) : 0u, &read);
  if (result == commos::IoResult::Done) return static_cast<int>(read);
  if (result == commos::IoResult::TimedOut) return -1;
  Report(kErrRead);
  return 0;
}

void TCustomComm::EscapeFunction(uint32_t func) {
  if (!Connected()) {
    Report(kErrNotOpen);
    return;
  }
  if (!commos::EscapeCommFunction(Handle, func)) Report(kErrEscape);
}

void TCustomComm::SetDTR(bool value) {
  EscapeFunction(value ? commos::SETDTR : commos::CLRDTR);
}

void TCustomComm::SetRTS(bool value) {
  EscapeFunction(value ? commos::SETRTS : commos::CLRRTS);
}

void TCustomComm::DetachEvents() {
  if (EventThread) EventThread->OnCommEvent = nullptr;
}

void TCustomComm::DispatchCommEvents(TCommEventThread* /*sender*/, uint32_t eventMask) {
  if (!Connected()) return;
  uint32_t errors = 0;
  commos::ComStat stat;
  commos::ClearCommError(Handle, &errors, &stat);
  errors |= heldErrors_;
  heldErrors_ = 0;
  // A handler may close the port: the ones after it then stay silent.
  auto notify = [&](uint32_t bit, const TNotifyEvent& handler) {
    if ((eventMask & bit) && handler && Connected()) {
      TNotifyEvent h = handler;
      h(this);
    }
  };
  if ((eventMask & commos::EV_RXCHAR) && OnRxChar && stat.cbInQue > 0) {
    TCommRxCharEvent h = OnRxChar;
    h(this, static_cast<int>(stat.cbInQue));
  }
  notify(commos::EV_BREAK, OnBreak);
  notify(commos::EV_CTS, OnCts);
  notify(commos::EV_DSR, OnDsr);
  // The OS layer reports a vanished device once, as an I/O error.
  if (errors & commos::CE_IOE) lastErrorKind_ = commos::ErrorKind::Gone;
  if (!(eventMask & commos::EV_ERR)) {
    // A vanished device's one report (CE_IOE) must not be spent by the event dispatched just before it.
    heldErrors_ = errors;
  } else if (OnError && Connected()) {
    TCommErrorEvent h = OnError;
    h(this, static_cast<int>(errors));
  }
  notify(commos::EV_RING, OnRing);
  notify(commos::EV_RLSD, OnRlsd);
  notify(commos::EV_RXFLAG, OnRxFlag);
  notify(commos::EV_TXEMPTY, OnTxEmpty);
  notify(commos::EV_WRITEDONE, OnWriteDone);
}

// ---- TCommEventThread ---------------------------------------------------------------------------------

TCommEventThread::TCommEventThread(commos::Handle handle, TCommEventTypes events)
    : CommHandle(std::move(handle)) {
  SetFreeOnTerminate(true);
  commos::SetCommMask(CommHandle, EventMaskOf(events));
  StartThread(tk::Priority::Higher);
}

void TCommEventThread::Stop() {
  WaitEvent.Set();
  Terminate();
}

void TCommEventThread::Execute() {
  while (!Terminated()) {
    uint32_t mask = 0;
    const bool ok = commos::WaitCommEvent(CommHandle, &mask, WaitEvent);
    if (!ok || Terminated()) continue;
    EventMask = mask;
    // WaitEvent is only ever set by Stop here (the wait itself needs no completion event), so it is not
    // reset: a Stop that comes during the hand-over is never lost.
    const bool delivered = Synchronize([this] { Deliver(EventMask); });
    if (!delivered) {
      // The UI loop has ended: nothing can be delivered any more. Wait quietly for Stop.
      WaitEvent.Wait(100);
    }
  }
  LoopEnded();
}

// Single-threaded: what has happened since the last look, delivered at once (this is the UI thread).
bool TCommEventThread::Turn() {
  uint32_t mask = 0;
  if (!commos::PollCommEvent(CommHandle, &mask)) return false;
  EventMask = mask;
  Deliver(mask);
  return true;
}

void TCommEventThread::Deliver(uint32_t mask) {
  if (OnCommEvent) {
    TCommEvent handler = OnCommEvent;
    handler(this, mask);
  }
}

void TCommEventThread::LoopEnded() {
  commos::PurgeComm(CommHandle, commos::PURGE_TXABORT | commos::PURGE_RXABORT | commos::PURGE_TXCLEAR |
                                    commos::PURGE_RXCLEAR);
}

// ---- Free functions -----------------------------------------------------------------------------------

namespace {

struct CommError {
  TCommErrorCode code;
  const char* text;
};

// The texts of the component error codes: what ReportError raises and what CommErrorText returns.
constexpr CommError kCommErrors[] = {
    {kErrPortOpen, "Port already assigned (open)"},
    {kErrNotInstalled, "Port is not installed"},
    {kErrInvalidHandle, "Invalid device handle, access denied"},
    {kErrBuffers, "Error initializing Read/Write Buffers"},
    {kErrWrite, "Write error"},
    {kErrRead, "Read error"},
    {kErrEscape, "EscapeCommFunction failure"},
    {kErrNotOpen, "Port not open, unable to complete operation"},
    {kErrTimeouts, "Error updating CommTimeouts"},
    {kErrDcb, "Error updating DataControlBlock"},
};

}  // namespace

std::string CommErrorText(int code) {
  for (const CommError& e : kCommErrors) {
    if (e.code == code) return e.text;
  }
  struct Piece {
    uint32_t bit;
    const char* text;
  };
  // In the order of the error names; every text but the first carries its own leading blank.
  static constexpr Piece kPieces[] = {
      {commos::CE_BREAK, "The hardware detected a break condition"},
      {commos::CE_DNS, " Windows 95 only: A parallel device is not selected"},
      {commos::CE_FRAME, " The hardware detected a framing error"},
      {commos::CE_IOE, " An I/O error occurred during communications with the device"},
      {commos::CE_MODE,
       " The requested mode is not supported, or the hFile parameter is invalid. If this value is specified, "
       "it is the only valid error"},
      {commos::CE_OOP, " Windows 95 only: A parallel device signaled that it is out of paper"},
      {commos::CE_OVERRUN, " A character-buffer overrun has occurred. The next character is lost"},
      {commos::CE_PTO, " Windows 95 only: A time-out occurred on a parallel device"},
      {commos::CE_RXOVER,
       " An input buffer overflow has occurred. There is either no room in the input buffer, or a character "
       "was received after the end-of-file (EOF) character"},
      {commos::CE_RXPARITY, " The hardware detected a parity error"},
      {commos::CE_TXFULL, " The application tried to transmit a character, but the output buffer was full"},
  };
  std::string text;
  for (const Piece& p : kPieces) {
    if (static_cast<uint32_t>(code) & p.bit) text += p.text;
  }
  return text;
}

void DelayProcessingMessages(unsigned ms) {
  tk::Runtime& app = tk::App();
  const uint32_t slice = ms / 10;
  uint32_t start = app.TickCount();
  for (int i = 0; i < 10; ++i) {
    // Elapsed time as an unsigned difference, so a slice that spans the counter's wrap still ends on time.
    // The wait sleeps in the event loop, so what arrives meanwhile runs at once and nothing spins.
    for (uint32_t elapsed = app.TickCount() - start; elapsed <= slice; elapsed = app.TickCount() - start) {
      app.WaitMessages(slice + 1 - elapsed);
    }
    // The next slice begins where this one was due to end: a slice stretched by what ran inside it (another
    // engine's whole pause, in a batch) does not stretch the slices after it, so pauses nested in each other
    // end together instead of one after the other.
    start += slice + 1;
  }
}

std::string StripNonPrintable(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 32 && u <= 126) out.push_back(c);
  }
  return out;
}

}  // namespace serial
