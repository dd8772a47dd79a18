// The serial port component: one port, its line settings as properties applied to the open port at once,
// bounded reads and writes, DTR/RTS, and one way of reporting every failure (OnError when assigned, else
// ECommError). Line events are watched by TCommEventThread and delivered on the UI thread by
// DispatchCommEvents.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <stdexcept>
#include <string>

#include "serial/CommOs.h"
#include "toolkit/Sync.h"

namespace serial {

// A set of enumeration values, stored as bits by ordinal.
template <typename E>
class EnumSet {
 public:
  constexpr EnumSet() = default;
  constexpr EnumSet(std::initializer_list<E> values) {
    for (E v : values) bits_ |= Bit(v);
  }
  constexpr bool Has(E v) const { return bits_ & Bit(v); }
  constexpr EnumSet& Include(E v) {
    bits_ |= Bit(v);
    return *this;
  }
  constexpr EnumSet& Exclude(E v) {
    bits_ &= ~Bit(v);
    return *this;
  }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr uint32_t Bits() const { return bits_; }
  constexpr bool operator==(const EnumSet&) const = default;

 private:
  static constexpr uint32_t Bit(E v) { return 1u << static_cast<unsigned>(v); }
  uint32_t bits_ = 0;
};

enum TBaudrate : uint8_t {
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum TParity : uint8_t { paNone, paOdd, paEven, paMark, paSpace };
enum TStopbits : uint8_t { sb10, sb15, sb20 };
enum TDatabits : uint8_t { da4, da5, da6, da7, da8 };
enum TFlowControl : uint8_t { fcNone, fcCTS, fcDTR, fcSoftware, fcDefault };
enum TCommOption : uint8_t { coParityCheck, coDsrSensitivity, coIgnoreXOff, coErrorChar, coNullStrip };
using TCommOptions = EnumSet<TCommOption>;
enum TCommEventType : uint8_t {
  evBreak,
  evCts,
  evDsr,
  evError,
  evRing,
  evRlsd,
  evRxChar,
  evRxFlag,
  evTxEmpty
};
using TCommEventTypes = EnumSet<TCommEventType>;

// The device values behind the enumerations.
uint32_t BaudRateValue(TBaudrate b);
uint8_t ParityValue(TParity p);
uint8_t StopbitsValue(TStopbits s);
uint8_t DatabitsValue(TDatabits d);
// The event mask of a set of event types.
uint32_t EventMaskOf(TCommEventTypes events);
// The DCB flag word of a flow control mode and option set.
uint32_t FlagWord(TFlowControl flow, TCommOptions options);

// Component error codes; CommErrorText gives their texts.
enum TCommErrorCode : int {
  kErrPortOpen = -1,
  kErrNotInstalled = -2,
  kErrInvalidHandle = -3,
  kErrBuffers = -4,
  kErrWrite = -5,
  kErrRead = -6,
  kErrEscape = -7,
  kErrNotOpen = -8,
  kErrTimeouts = -9,
  kErrDcb = -10,
};

class ECommError : public std::runtime_error {
 public:
  ECommError(const std::string& message, int code) : std::runtime_error(message), ErrorCode(code) {}
  int ErrorCode;
};

class TCustomComm;
class TCommEventThread;

// The five flow-control and event characters of a port. Every write of a character updates the open port.
class TCommEventChars {
 public:
  explicit TCommEventChars(TCustomComm* owner) : Owner(owner) {}

  char XonChar() const { return chars_[0]; }
  char XoffChar() const { return chars_[1]; }
  char ErrorChar() const { return chars_[2]; }
  char EofChar() const { return chars_[3]; }
  char EvtChar() const { return chars_[4]; }
  void SetXonChar(char c) { SetEventChar(1, c); }
  void SetXoffChar(char c) { SetEventChar(2, c); }
  void SetErrorChar(char c) { SetEventChar(3, c); }
  void SetEofChar(char c) { SetEventChar(4, c); }
  void SetEvtChar(char c) { SetEventChar(5, c); }
  // Copies the characters only; the port is not updated.
  void Assign(const TCommEventChars& source);

  TCustomComm* Owner;

 private:
  // Index 1 XonChar, 2 XoffChar, 3 ErrorChar, 4 EofChar, 5 EvtChar.
  void SetEventChar(int index, char c);
  char chars_[5] = {17, 19, 0, 0, 0};
};

class TCustomComm {
 public:
  using TNotifyEvent = std::function<void(TCustomComm* sender)>;
  using TCommRxCharEvent = std::function<void(TCustomComm* sender, int count)>;
  using TCommErrorEvent = std::function<void(TCustomComm* sender, int errors)>;

  TCustomComm();
  virtual ~TCustomComm();
  TCustomComm(const TCustomComm&) = delete;
  TCustomComm& operator=(const TCustomComm&) = delete;

  void Open();
  // Stops the monitor and closes the port; does not wait for the monitor thread.
  void Close();
  bool Connected() const { return static_cast<bool>(Handle); }
  // -1 when the write has not completed within WriteTimeout: it is then still pending, and its bytes still
  // go out (the port keeps a copy); a further Write first waits for it within its own WriteTimeout.
  int Write(const void* buffer, int count);
  // Waits at most `ms` for a pending write: 1 once none is pending (also when none was), 0 while it still
  // is, -1 when the port is closed or the write failed (a failure is reported as a write error).
  int WaitWrite(int ms);
  // Drops what is left of a pending write, and the output the driver still queues.
  void PurgeOutput();
  int Read(void* buffer, int count);
  void SetDTR(bool value);
  void SetRTS(bool value);
  // No further line event reaches this component's handlers. Only while the port is open.
  void DetachEvents();

  const std::string& DeviceName() const { return DeviceName_; }
  // A new name unties the port from its pinned device.
  void SetDeviceName(const std::string& name);
  // Ties the port to the device open now, by the name that keeps leading to it (commos::StableName): every
  // later Open reaches that device or none, even when DeviceName would now count another one ("ComN" on
  // Linux is the N-th device present). Returns the pinned name; empty while closed.
  const std::string& PinDevice();
  void UnpinDevice() { pinned_.clear(); }
  const std::string& PinnedDevice() const { return pinned_; }
  // The stable name of the device open now; empty while closed.
  std::string StableDeviceName() const { return commos::StableName(Handle); }
  int ReadTimeout() const { return ReadTimeout_; }
  void SetReadTimeout(int ms) { ReadTimeout_ = ms; }
  int WriteTimeout() const { return WriteTimeout_; }
  void SetWriteTimeout(int ms) { WriteTimeout_ = ms; }
  int ReadBufSize() const { return ReadBufSize_; }
  void SetReadBufSize(int size);
  int WriteBufSize() const { return WriteBufSize_; }
  void SetWriteBufSize(int size);
  TCommEventTypes MonitorEvents() const { return MonitorEvents_; }
  void SetMonitorEvents(TCommEventTypes events);
  TBaudrate BaudRate() const { return BaudRate_; }
  void SetBaudRate(TBaudrate value);
  TParity Parity() const { return Parity_; }
  void SetParity(TParity value);
  TStopbits Stopbits() const { return Stopbits_; }
  void SetStopbits(TStopbits value);
  TDatabits Databits() const { return Databits_; }
  void SetDatabits(TDatabits value);
  TCommOptions Options() const { return Options_; }
  void SetOptions(TCommOptions value);
  TFlowControl FlowControl() const { return FlowControl_; }
  void SetFlowControl(TFlowControl value);
  TCommEventChars& EventChars() { return EventChars_; }
  // The device control block as last built (what the open port was given).
  const commos::Dcb& DCB() const { return DCB_; }
  // Why the last failed open failed, in the operating system's words (for the technician; not a log text).
  const std::string& LastOsError() const { return lastOsError_; }
  // The transfers this component's ports have had cut short, over every open and close so far.
  commos::TransferCancels CancelledTransfers() const;
  // Advice from the last successful open for the diagnostic log (a slow USB adapter), once per device; or
  // empty.
  const std::string& OpenNotice() const { return openNotice_; }
  // Whether Open waits for a remote port's connection (the default). Without, Open returns at once while the
  // connection is made off this thread (OpenPending); a later Open takes it, or its failure, which is then
  // reported as any failed open is.
  void SetWaitForConnect(bool wait) { waitForConnect_ = wait; }
  bool OpenPending() const { return !Connected() && openPending_; }
  // A pending connection has been made or has failed: the next Open takes it without waiting.
  bool PendingOpenEnded() const;
  // Whether the last failed open found no device at all (rather than a busy, forbidden or broken one).
  bool LastOpenFoundNoDevice() const { return lastErrorKind_ == commos::ErrorKind::Missing; }
  // The kind of the last operating-system failure: that of the last failed open, or Gone once the open
  // port's device has vanished (reported once, as an OnError call with the I/O error bit).
  commos::ErrorKind LastErrorKind() const { return lastErrorKind_; }

  TNotifyEvent OnBreak, OnCts, OnDsr, OnRing, OnRlsd, OnRxFlag, OnTxEmpty;
  // A write that Write left pending has ended (its bytes all taken, or failed: WaitWrite tells which), told
  // by the monitor, so that nothing need look for it.
  TNotifyEvent OnWriteDone;
  TCommErrorEvent OnError;
  TCommRxCharEvent OnRxChar;

  // Applies the line settings to the open port (nothing while closed).
  void UpdateDataControlBlock();

 protected:
  virtual void ReportError(const std::string& message, int code);
  // Reports a component error with its own text.
  void Report(TCommErrorCode code);
  virtual void OpenHandle();
  void RequireClosed();
  void ReleaseHandle();
  void UpdateCommTimeouts();
  void ApplyFlowControl();
  void EscapeFunction(uint32_t func);
  void DispatchCommEvents(TCommEventThread* sender, uint32_t eventMask);

  commos::Handle Handle;

 private:
  commos::Dcb DCB_;
  std::string DeviceName_ = "Com2";
  std::mutex IoLock;  // Read and Write never overlap
  int ReadTimeout_ = 1000;
  int WriteTimeout_ = 1000;
  int ReadBufSize_ = 4096;
  int WriteBufSize_ = 2048;
  TCommEventTypes MonitorEvents_{evBreak, evCts,    evDsr,    evError,  evRing,
                                 evRlsd,  evRxChar, evRxFlag, evTxEmpty};
  TBaudrate BaudRate_ = br9600;
  TParity Parity_ = paNone;
  TStopbits Stopbits_ = sb10;
  TDatabits Databits_ = da8;
  TCommEventThread* EventThread = nullptr;
  TCommEventChars EventChars_{this};
  TCommOptions Options_;
  TFlowControl FlowControl_ = fcDefault;
  std::string lastOsError_;
  commos::TransferCancels closedCuts_;  // those of the handles already closed
  commos::ErrorKind lastErrorKind_ = commos::ErrorKind::None;
  bool openPending_ = false;  // the last open left a remote connection being made
  // Errors read while dispatching an event that does not report them (bytes received, the output empty):
  // reading them clears them in the OS layer, so the next error report carries them instead of losing them.
  uint32_t heldErrors_ = 0;
  std::string openNotice_;
  std::string pinned_;  // what Open opens instead of DeviceName, when set
  bool waitForConnect_ = true;
};

class TSerialPort : public TCustomComm {};

// The monitor of one open port: waits for line events and hands each event mask to the UI thread. It frees
// itself when its loop ends (after Stop).
class TCommEventThread : public tk::Thread {
 public:
  using TCommEvent = std::function<void(TCommEventThread* sender, uint32_t eventMask)>;

  // Sets the port's event mask and starts at once.
  TCommEventThread(commos::Handle handle, TCommEventTypes events);
  ~TCommEventThread() override = default;
  void Stop();

  // Written and read on the UI thread only.
  TCommEvent OnCommEvent;

 protected:
  void Execute() override;
  bool Turn() override;
  void LoopEnded() override;

 private:
  void Deliver(uint32_t mask);

  commos::Handle CommHandle;
  commos::WaitableEvent WaitEvent;
  uint32_t EventMask = 0;
};

// The text of a component error code (TCommErrorCode) or of a set of line-error bits.
std::string CommErrorText(int code);
// Waits about ms milliseconds in ten slices while the UI keeps processing its messages.
void DelayProcessingMessages(unsigned ms);
// The characters 32..126 of s, in order.
std::string StripNonPrintable(const std::string& s);

}  // namespace serial
