// The update engine: one firmware update of the indicator as a state machine of 29 states, advanced one step
// at a time on the UI thread. The engine's own thread only waits for a wake-up and hands one step to the UI
// thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/Check.h"
#include "engine/Payloads.h"
#include "engine/Protocol.h"
#include "engine/Reporting.h"
#include "serial/SerialPort.h"
#include "toolkit/Runtime.h"
#include "toolkit/Sync.h"

namespace engine_test {
struct EngineUnderTest;
}

namespace engine {

enum TUpdateState : uint8_t {
  eReadyOpen,
  eZa96Before,
  eZa96After,
  eCheckFlash,
  eRequestSCPVersion,
  eRequestVersion,
  eTurnErrorOn,
  eCheckHeapAddress,
  eSendU,
  eZa384Before,
  eZa96Last,
  eZa384After,
  eZa384Retry,
  eSebx384,
  eU384,
  eU96,
  eWaitV,
  eFt96,
  eFt384,
  eSeha,
  eWaitW,
  eSendFirmware,
  eWaitX,
  eWaitY,
  eSendPM,
  eUpload,
  eWaitQ,
  eUploadZA,
  eCheckPort,
};
constexpr int kStateCount = 29;
extern const char* const StateNames[kStateCount];

// Reply kinds: what ParseReply recognised, or a timeout.
enum : uint8_t {
  kReplyNone = 0,
  kReplyAck = 1,  // ^ (in eCheckFlash: any bracketed answer)
  kReplyScpOne = 2,
  kReplyScpHigher = 3,
  kReplyVersionOne = 4,
  kReplyVersionHigher = 5,
  kReplyHeapFD = 6,
  kReplyHeapF9 = 7,
  kReplyHeap14 = 8,
  kReplyHeapOther = 9,
  kReplyT = 10,
  kReplyFtTooBig = 11,
  kReplyFtFits = 12,
  kReplyTimeout = 13,
  kReplyV = 14,
  kReplyW = 15,
  kReplyQ = 16,
  kReplyZ = 17,
  kReplyY = 18,
  kReplyX = 19,
  kReplyB = 21,
  kReplyD = 22,
  kReplyNotBluetooth = 23,
  kReplyBluetooth = 24,
};

constexpr int kRxBufferSize = 4096;
constexpr int kBlockSize = 1000;
constexpr int kSendBufferSize = 100;
constexpr uint8_t kBlockMarker = 0xA5;
// How often a port that went away is tried again.
constexpr uint32_t kReopenIntervalMs = 500;
// How often the scan looks whether a remote port's connection, made off the UI thread, has come.
constexpr uint32_t kConnectLookMs = 10;
// How long a write may take beyond its line time (count x 10 / baud) before it counts as held: where no
// indicator has answered on the port, its rest is then dropped and the state's timeout entry runs; where one
// has, it is told, and the bytes still go out (what a port's WriteTimeout usually is).
constexpr int kWriteTimeoutMs = 1000;
// How far the loader upload may run ahead of what the line can have carried since it began: about what a
// serial driver queues before its writes block.
constexpr int kLoaderLeadBytes = 4096;
// The longest single wait of the upload for the line, on the runtime's timer: it bounds how long a counter
// that lags the real clock keeps the upload from looking again. A step waits for room for a whole step:
// 267 ms of line at 38400, one wake-up; at 9600 (1067 ms) four.
constexpr int kLoaderPaceWaitMs = 300;
// The most loader bytes one step of the upload sends, in one write, before the loop (and every other engine)
// has its turn.
constexpr int kLoaderStepBytes = 1024;
// The loader is read in pieces of this size; each piece waits for the line before it goes.
constexpr int kLoaderPieceBytes = 64;
// The most the announced firmware size passes the payload's end: what making it even and keeping it off a
// multiple of 1000 adds.
constexpr uint32_t kMaxPadding = 3;
// How often "U" is sent again without a T before the indicator is identified anew.
constexpr int kUResends = 4;
// "{VFSH}" sent this often in a row without an answer: the indicator has no such command, and a firmware
// that needs its answer does not suit it.
constexpr int kFlashAsks = 5;
// How often a check starts over on one port (from {ZA1} at 9600) before it gives the port up: more than
// the flash size's asks, so that it comes to the same verdict as the update.
constexpr int kCheckRestarts = kFlashAsks + 2;

// One port the scan tries, with the names it goes by.
struct PortCandidate {
  std::string Name;    // as the technician gave it ("COM37", "/dev/ttyUSB0"); "Com3" in the default list
  std::string Device;  // what the port opens, and in "Can not open X to communicate": "Com37" for a numbered
                       // port in any spelling, else the name
  std::string OnLine;  // in "... baud rate on X": "COM37", else the name
};

// The ports a scan tries, in order: Com1 to Com25 when no name is given, else the names. A name is expected
// to have been checked (commos::ParsePortName); one that is not a numbered port is taken as it is.
std::vector<PortCandidate> PortCandidates(const std::vector<std::string>& names);

// Why an engine of a batch left its port without an update: where a lone engine would move on to the next
// port, a batch engine (which has one port) ends instead.
enum class PortEnd : uint8_t {
  None,         // it did not end that way
  NoPort,       // the port would not open
  NoIndicator,  // a whole round at both rates went unanswered
  Bluetooth,    // the port is a Bluetooth link, which cannot carry an update
};

// The controller's side is public; the inside is private, open to one reader only: the tests, through the
// friend EngineUnderTest (tests/engine/seam.h).
class TSerialThread : public tk::Thread {
 public:
  // `progressBar` is the main window's side of reporting (log, status, progress); `errorDialog` the error
  // dialog. The thread starts at once.
  TSerialThread(IReporter* progressBar, IErrorDialog* errorDialog);
  ~TSerialThread() override;

  // The ports to scan (see PortCandidates), set before Start; the default list until then.
  void SetPortNames(const std::vector<std::string>& names);
  // One port of a batch (set before Start): the engine ends where it would move on to the next port.
  void SetBatchPort(const std::string& name);
  bool BatchPort() const { return batch_; }
  // Whether an indicator has answered on the port open now (a recognised reply since it was chosen).
  bool IndicatorAnswered() const { return answered_; }
  // How a batch engine left its port without an update (PortEnd::None otherwise), and why, in words.
  PortEnd Ended() const { return ended_; }
  const std::string& EndReason() const { return endReason_; }
  // The identify-only check (set before Start): the engine identifies the indicator as an update does and
  // ends where the update would first change it. Without a firmware the fit is not checked.
  void SetCheckOnly(bool firmwareGiven);
  bool CheckOnly() const { return checkOnly_; }
  // The check's last report: its verdict once the engine has ended.
  const CheckReport& CheckResult() const { return check_; }
  // Ms the engine itself still waits for the indicator in a long wait (the erase, the loader's Q): a bound on
  // progress does not end such a wait early. 0 otherwise.
  int64_t LongWaitLeftMs() const;
  // Whether the indicator is in its boot loader as far as the engine knows (the loader has gone, the erase
  // or the image is under way): a run that ends now leaves it there.
  bool InBootLoader() const;
  // Stores the boot flag; the first step comes through the driver like every other, after what the UI
  // thread has queued already (many engines start at once without one's first step holding the next).
  void StartQueued(int bootFlag);
  // Stores the boot flag and runs the first step (on the UI thread: at once).
  void Start(int bootFlag);
  // Ends the update: no line event, timer or step reaches the engine any more. May be called twice.
  void Finish();
  // Closes the port for good (the update has ended, or the program is closing) and logs, once, what its
  // closes cut short: the one line that can say whether the indicator may have lost bytes.
  void ReleasePort();
  // Reporting (runs its user-interface part through Synchronize).
  void Log(const std::string& text);

  // The sizes announced to the indicator, set by the controller before the first upload.
  uint32_t FirmwareSize = 0;
  uint32_t LoaderSize = 0;
  // Where the payloads come from, chosen by the controller before the first upload: none sends no loader
  // and an erased (0xFF) firmware.
  IPayloadSource* LoaderSource = nullptr;
  IPayloadSource* FirmwareSource = nullptr;
  // 1 once the indicator has confirmed the firmware.
  uint8_t Succeeded = 0;
  std::function<void(TSerialThread*)> OnFinished;

 protected:
  void Execute() override;
  bool Turn() override;

 private:
  friend struct engine_test::EngineUnderTest;

  void Step();
  void RxCharReceived(serial::TCustomComm* sender, int count);
  void PollTimerFired();
  void TimeoutTimerFired();
  void ParseReply();
  // The part of ParseReply after the read: gathers one chunk of received bytes and classifies it.
  void ProcessChunk(const uint8_t* bytes, int count);
  // Tells the window the port and rate the indicator answers on, the first time it does.
  void ReportAnswering();
  // A reply recognised in this state: progress when it is further on than any before.
  void Advanced();
  // The check's side: an answer kept, the verdict told (and the engine ended when `ends`), the commands that
  // change the indicator refused.
  void CheckAnswered(const std::string& answer);
  void CheckEnd(CheckVerdict verdict, const std::string& reason, bool ends = true);
  bool CheckRefuses(const std::string& command);

  // Port scan and sending.
  void OpenPort(int firstNumber);
  void SetBaud(int baud);
  void SendCommand(const std::string& text);
  void CommError(serial::TCustomComm* sender, int errors);
  // A raw write (size, the last part of the image, CRC); none while the port is away.
  void WriteOut(const void* data, int count);
  // Every write goes through here, and none waits: what the line does not take at once stays pending, and
  // the next step begins once it has gone (StepHeldByWrite). True when the write completed at once.
  bool WriteAll(const void* data, int count);
  // Whether the pending write has gone (completed, or failed and reported); its bookkeeping ends then.
  bool WriteGone();
  // A step that finds the last write still pending waits for it in the event loop: the port's OnWriteDone
  // (WriteDone) or HeldTimer brings it back. Where no indicator has answered, the wait ends after the write's
  // line time plus kWriteTimeoutMs: the rest is dropped, and the step runs the state's timeout entry.
  bool StepHeldByWrite();
  void WriteDone();
  void HeldTimerFired();
  // Drops the held rest of the pending write (no indicator has answered: a device that holds the line).
  void DropHeldWrite();
  // The port closed: its pending write went with it.
  void ForgetHeldWrite();
  void ArmHeldTimer();
  int64_t HeldMs() const;

  // A port whose device vanished (a pulled cable, a reset adapter) is closed and reopened as soon as it is
  // back: the same device the indicator answered on (never another adapter its name may count now); steps
  // wait for that, and the state's timeout entry then resends.
  bool DeviceGone(int errors) const;
  void PortGone();
  void ReopenTimerFired();
  bool PortAway() const { return awaySince_ != 0; }
  // The scan's open of a remote port is still connecting: the state's timeout entry runs as soon as the
  // connection (or its failure) has come, not a whole timeout later.
  void ConnectTimerFired();

  // Loader upload and firmware transfer. The upload is a chain of short steps on UploadTimer, so that the
  // engines sharing the UI thread upload side by side: each step sends what the line's pace allows and
  // returns to the loop. The state stays eUpload until the last byte has gone.
  void StartLoaderUpload();
  void SendLoaderData();
  // One step of the upload; arms the next, or ends the upload.
  void ContinueLoaderUpload();
  void UploadTimerFired();
  // The next step of the upload in `ms` (at least 1).
  void NextUploadStep(int64_t ms);
  void EndLoaderUpload();
  // Hands loader bytes to the port in one write; one that the line does not take at once stays pending.
  void WriteLoaderBytes(const uint8_t* bytes, int count);
  // Whether the pending write has gone; while it has not, the next step comes with its end (WriteDone), or
  // to tell a hold beyond its line time plus kWriteTimeoutMs.
  bool LoaderBytesDone();
  // The bytes the line can have carried since the upload began, at the current rate.
  int64_t LineBytesSinceUpload() const;
  // How long the line needs before sending up to `upTo` keeps the upload within kLoaderLeadBytes of it: 0
  // when it may go now.
  int64_t LineWaitMs(int64_t upTo) const;
  void StartFirmwareTransfer();
  void SendFirmwareBlock();
  void CrcUpdate(uint8_t byte);

  // Reporting (each runs its user-interface part through Synchronize).
  void ShowStatus(const std::string& text);
  void UpdateProgress();
  void SetProgressMax();
  void ShowProgressBar();

  void SetRxPos(int value);
  int64_t MillisecondsSince(double dateTime) const;

  // Fields, in the order the engine was designed with.
  IReporter* ProgressBar;
  int32_t PortNumber = 0;
  int32_t ErrorShown = 0;
  uint8_t BlockBuffer[kBlockSize] = {};  // slot n (1..1000) at index n - 1
  int32_t CurrentBaud = 0;
  uint8_t State = eReadyOpen;
  double WaitStart = 0;
  int32_t RxPos = 1;
  uint8_t RxBuffer[kRxBufferSize + 1] = {};  // positions 1..4096
  uint16_t Crc = 0;
  int32_t BootFlag = 0;
  std::vector<uint8_t> PortOpenMarks;  // 1..number of candidates; slot 0 unused
  int32_t BytesSent = 0;
  std::string LogText, StatusText;
  uint8_t ReplyKind = kReplyNone;
  tk::Event WakeEvent;
  uint8_t ProgressVisible = 0;
  int32_t ProgressMax = 0;
  uint8_t NextByte = 0;
  int32_t RetryCount = 0;
  int32_t FlashSize = 0;
  std::unique_ptr<serial::TSerialPort> Port;
  std::unique_ptr<tk::Timer> TimeoutTimer;
  std::unique_ptr<tk::Timer> PollTimer;
  std::unique_ptr<tk::Timer> ReopenTimer;
  std::unique_ptr<tk::Timer> UploadTimer;
  std::unique_ptr<tk::Timer> HeldTimer;
  std::unique_ptr<tk::Timer> ConnectTimer;
  IErrorDialog* ErrorDialog;
  std::vector<PortCandidate> Candidates;  // PortNumber n is Candidates[n - 1]
  bool namedPorts_ = false;               // the technician named the ports (/p)
  bool batch_ = false;                    // one port of a batch
  PortEnd ended_ = PortEnd::None;
  std::string endReason_;

  // The number of candidates, and the names of the one PortNumber selects.
  int PortCount() const { return static_cast<int>(Candidates.size()); }
  const PortCandidate* Selected() const;

  void Transition();
  void ArmTimers();
  // Moves on to the next port; a batch engine ends instead, for `why`.
  void TryNextPort(PortEnd why);
  // A batch engine leaves its port: logs `reason`, closes the port and finishes.
  void EndForPort(PortEnd why, const std::string& reason);
  void BaudPath();
  void ShowErrorOnce(uint32_t code);
  void ShowErrorAlways(uint32_t code);
  void HideError();
  // Erasing has begun: the indicator's V follows.
  void EraseBegun();
  void Message(const std::string& text);
  void Go(uint8_t state) { State = state; }
  // Goes to `state` and sends the command it waits on (at `baud` first, for AskAt).
  void Ask(uint8_t state, const std::string& command);
  void AskAt(uint8_t state, int baud, const std::string& command);
  // Back to the first question, at 9600 baud.
  void StartOverAt9600();
  // Sends `command` again while retries are left (`limit`); false when none are.
  bool Retried(const std::string& command, int limit = 2);
  // The indicator did not answer as expected: the problem dialog (once) and the reason in the log.
  void Trouble(const std::string& why);
  // As Trouble, then the firmware update begins again with U.
  void BackToU(const std::string& why);
  void SendFirmwareSize();
  void SendCrc();
  void Stamp();
  bool FlashMismatch() const;
  bool RecognisedAt(int p, const std::string& chunk);
  void TakeOut(int from, int length);
  void Recognised(uint8_t kind);
  void AddFirmwareByte();
  void SendFullBlock();
  // Payload reads and rewinds, on the UI thread.
  int ReadPayload(IPayloadSource* source, uint8_t* out, int max);
  void RewindPayload(IPayloadSource* source);
  void AppendLogLine();
  void ReportUnlessStopped(const std::function<void(IReporter&)>& report);
  void PayloadFailed(const std::string& what, const std::exception& e);
  // A pending write that the indicator holds back (XOFF) beyond its time: the log and the problem dialog.
  void SayLineHeld();

  // Sends the state's command, or gives up with `fallBack` once two resends went unanswered.
  void ResendOr(const std::string& command, void (TSerialThread::*fallBack)(), int limit = 2);
  // Goes to `state` with fresh retries and sends its command.
  void AskAfresh(uint8_t state, const std::string& command);

  uint32_t portLosses_ = 0;     // how often the port went away
  double awaySince_ = 0;        // when the port went away; 0 while it is there
  bool reopening_ = false;      // a reopen attempt runs: its failures are expected, not logged
  bool wrongFirmware_ = false;  // error 4 is up: the engine stands still on purpose
  bool cutsLogged_ = false;     // ReleasePort has told what the port's closes cut
  int flashUnanswered_ = 0;     // "{VFSH}" sent in a row on this port without an answer
  bool inStep_ = false;         // a step is running (UI thread only)
  bool stepPending_ = false;    // a step came while one was running: it follows
  bool writePending_ = false;   // the port's last write had not completed when the engine went on
  bool answered_ = false;       // an indicator has answered on this port
  bool checkOnly_ = false;      // the identify-only check
  bool checkFirmware_ = false;  // it has a firmware to check the fit of
  CheckReport check_;
  int progressRank_ = 0;   // how far on the furthest answer so far came
  int checkRestarts_ = 0;  // a check's starts over on the port open now
  // Why the ports the technician named did not open, in this round.
  std::vector<std::string> openFailures_;
  // The pending write: since when, how long it may take before it counts as held, whether it has taken that
  // long (and the problem dialog told it), and whether a step waits for it.
  struct HeldWrite {
    int64_t sinceUs = 0;
    int64_t limitMs = 0;
    bool past = false;
    bool shown = false;
    bool step = false;
  };
  HeldWrite held_;
  int32_t baudAfterWrite_ = 0;  // a rate change that waits for the pending write (0: none)
  std::string queuedOut_;       // bytes written behind a pending write, in order
  // The running loader upload, begun afresh each time.
  struct LoaderUpload {
    bool active = false;                    // it runs
    uint32_t losses = 0;                    // the port losses when it began: a loss stops it
    uint32_t tick = 0;                      // the runtime's counter when it began
    int64_t realUs = 0;                     // the monotonic clock then
    uint8_t piece[kLoaderPieceBytes] = {};  // the piece read, and how far it has gone out
    int pieceLen = 0;
    int pieceAt = 0;
    bool paced = false;  // that piece has waited for the line
    bool ended = false;  // the whole loader has been read
  };
  LoaderUpload upload_;
  // The port and rate the last command went out at, and those last reported as answering.
  int32_t sentPort_ = 0;
  int32_t sentBaud_ = 0;
  int32_t answeringPort_ = 0;
  int32_t answeringBaud_ = 0;
};

}  // namespace engine
