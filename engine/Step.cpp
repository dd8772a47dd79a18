// The engine's life (creation, its driver thread, start and finish, the wake-ups from the port and the
// timers) and the step the driver hands to the UI thread.
#include "engine/SerialThreadDef.h"

#include <chrono>
#include <cmath>
#include <thread>

namespace engine {

const char* const StateNames[kStateCount] = {
    "eReadyOpen",
    "eZa96Before",
    "eZa96After",
    "eCheckFlash",
    "eRequestSCPVersion",
    "eRequestVersion",
    "eTurnErrorOn",
    "eCheckHeapAddress",
    "eSendU",
    "eZa384Before",
    "eZa96Last",
    "eZa384After",
    "eZa384Retry",
    "eSebx384",
    "eU384",
    "eU96",
    "eWaitV",
    "eFt96",
    "eFt384",
    "eSeha",
    "eWaitW",
    "eSendFirmware",
    "eWaitX",
    "eWaitY",
    "eSendPM",
    "eUpload",
    "eWaitQ",
    "eUploadZA",
    "eCheckPort",
};

// ---- Life

TSerialThread::TSerialThread(IReporter* progressBar, IErrorDialog* errorDialog)
    : ProgressBar(progressBar), ErrorDialog(errorDialog) {
  SetPortNames({});
  BootFlag = 0;
  State = eReadyOpen;
  RxPos = 1;
  Port = std::make_unique<serial::TSerialPort>();
  Port->OnRxChar = [this](serial::TCustomComm* sender, int count) { RxCharReceived(sender, count); };
  Port->OnError = [this](serial::TCustomComm* sender, int errors) { CommError(sender, errors); };
  Port->SetFlowControl(serial::fcSoftware);
  // Writes are waited for in the event loop (a step waits for the last write's end), never inside the port;
  // nor is a remote port's connection: the scan's timeout, or the reopen's timer, takes it once it is made.
  Port->SetWriteTimeout(0);
  Port->OnWriteDone = [this](serial::TCustomComm*) { WriteDone(); };
  Port->SetWaitForConnect(false);
  // The port is still closed: both calls end in its "not open" report, which CommError logs.
  Port->SetDTR(true);
  Port->SetRTS(true);
  TimeoutTimer = tk::App().NewTimer();
  TimeoutTimer->SetOnTimer([this] { TimeoutTimerFired(); });
  PollTimer = tk::App().NewTimer();
  PollTimer->SetEnabled(false);
  PollTimer->SetOnTimer([this] { PollTimerFired(); });
  ReopenTimer = tk::App().NewTimer();
  ReopenTimer->SetEnabled(false);
  ReopenTimer->SetInterval(kReopenIntervalMs);
  ReopenTimer->SetOnTimer([this] { ReopenTimerFired(); });
  UploadTimer = tk::App().NewTimer();
  UploadTimer->SetEnabled(false);
  UploadTimer->SetOnTimer([this] { UploadTimerFired(); });
  HeldTimer = tk::App().NewTimer();
  HeldTimer->SetEnabled(false);
  HeldTimer->SetOnTimer([this] { HeldTimerFired(); });
  ConnectTimer = tk::App().NewTimer();
  ConnectTimer->SetEnabled(false);
  ConnectTimer->SetInterval(kConnectLookMs);
  ConnectTimer->SetOnTimer([this] { ConnectTimerFired(); });
  StartThread(tk::Priority::Highest);
}

TSerialThread::~TSerialThread() {
  // The driver thread may still wait for a wake-up that will never come: wake it so that it can end.
  Terminate();
  WakeEvent.Set();
  // It may also be waiting for the UI thread to take a step that was queued before: let that call through (it
  // does nothing now), or the two threads would wait for each other.
  while (!Finished()) {
    if (tk::Installed() && tk::App().InUiThread()) tk::App().ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  WaitFor();
  TimeoutTimer.reset();
  PollTimer.reset();
  ReopenTimer.reset();
  UploadTimer.reset();
  HeldTimer.reset();
  ConnectTimer.reset();
  if (Port) {
    Port->OnWriteDone = nullptr;
    Port->OnRxChar = nullptr;
    Port->OnError = nullptr;
    Port->Close();
  }
}

void TSerialThread::Execute() {
  while (!Terminated()) {
    if (!WakeEvent.Wait(tk::kInfinite)) continue;
    WakeEvent.Reset();
    if (Terminated()) break;
    // No step after Finish, even one that was already on its way. False once the UI loop has gone.
    if (!Synchronize([this] {
          if (!Terminated()) Step();
        }))
      break;
  }
}

// Single-threaded: the loop's pass above, without its wait.
bool TSerialThread::Turn() {
  if (!WakeEvent.IsSet()) return false;
  WakeEvent.Reset();
  if (!Terminated()) Step();
  return true;
}

void TSerialThread::Start(int bootFlag) {
  BootFlag = bootFlag;
  Synchronize([this] { Step(); });
}

void TSerialThread::StartQueued(int bootFlag) {
  BootFlag = bootFlag;
  WakeEvent.Set();
}

void TSerialThread::ReleasePort() {
  if (!Port || cutsLogged_) return;
  if (Port->Connected()) {
    Port->DetachEvents();
    Port->Close();
  }
  cutsLogged_ = true;
  // After the close: a write may be cut only by it.
  const commos::TransferCancels cut = Port->CancelledTransfers();
  Log("Serial transfers cut short: " + std::to_string(cut.onTimeout) + " on a time-out, " +
      std::to_string(cut.onClose) + " by closing the port");
}

void TSerialThread::Finish() {
  if (Port && Port->Connected()) Port->DetachEvents();
  TimeoutTimer->SetOnTimer(nullptr);
  TimeoutTimer->SetEnabled(false);
  PollTimer->SetOnTimer(nullptr);
  PollTimer->SetEnabled(false);
  ReopenTimer->SetOnTimer(nullptr);
  ReopenTimer->SetEnabled(false);
  UploadTimer->SetOnTimer(nullptr);
  UploadTimer->SetEnabled(false);
  HeldTimer->SetOnTimer(nullptr);
  HeldTimer->SetEnabled(false);
  ConnectTimer->SetOnTimer(nullptr);
  ConnectTimer->SetEnabled(false);
  upload_.active = false;
  if (OnFinished) {
    auto handler = OnFinished;
    handler(this);
  }
  Terminate();
}

void TSerialThread::RxCharReceived(serial::TCustomComm* /*sender*/, int /*count*/) {
  if (Terminated()) return;
  try {
    ParseReply();
  } catch (...) {
    // The bytes stay in the buffer; the timeout takes its course.
  }
}

void TSerialThread::PollTimerFired() {
  RxCharReceived(nullptr, 0);
}

void TSerialThread::TimeoutTimerFired() {
  if (Terminated()) return;
  // One wake-up for the step that takes a connection: the look for it must not bring a second.
  ConnectTimer->SetEnabled(false);
  ReplyKind = kReplyTimeout;
  WakeEvent.Set();
}

// ---- The step

int64_t TSerialThread::MillisecondsSince(double dateTime) const {
  // Halves round to even, as the platform's default rounding does.
  return static_cast<int64_t>(std::nearbyint((tk::App().Now() - dateTime) * 86400000.0));
}

void TSerialThread::Step() {
  // Steps never nest. A step that runs the loop (a write's wait, the port scan's pause) can let the driver's
  // next step in when it was itself not handed over by the driver (the first step, run by Start): that one
  // then follows the running step instead of running inside it. The loader upload runs in steps of its own:
  // a step asked for meanwhile (a B the indicator sent) follows its end, unless the port went away during it
  // (the upload then stops, and the reopen's step starts it over).
  if (upload_.active && portLosses_ != upload_.losses) {
    upload_.active = false;
    UploadTimer->SetEnabled(false);
  }
  if (inStep_ || upload_.active) {
    stepPending_ = true;
    return;
  }
  // While the port is away nothing can be sent: the reopen wakes the state again.
  if (PortAway()) return;
  // Nor before the last write has gone: its end, or its time where nothing has answered, brings the step.
  if (StepHeldByWrite()) return;
  inStep_ = true;
  PollTimer->SetEnabled(false);
  TimeoutTimer->SetEnabled(false);
  if (ReplyKind == kReplyTimeout) {
    Log(std::string("Timeout in state ") + StateNames[State]);
  } else {
    Log("Receive using time: " + std::to_string(MillisecondsSince(WaitStart)) + ". In state of " +
        StateNames[State]);
  }
  if (!Terminated()) {
    try {
      Transition();
    } catch (const std::exception& e) {
      // The timers below still arm: the state's timeout retries, instead of the engine standing still.
      Log(std::string("Step failed: ") + e.what());
    } catch (...) {
      Log("Step failed");
    }
    // A step that finished the engine leaves its timers off.
    if (!Terminated()) ArmTimers();
  }
  inStep_ = false;
  if (stepPending_) {
    stepPending_ = false;
    if (!Terminated()) WakeEvent.Set();
  }
}

void TSerialThread::ArmTimers() {
  // A running upload paces itself on its own timer; the state's timeout starts a stopped one over.
  if (PortAway() || (State == eUpload && upload_.active)) {
    TimeoutTimer->SetEnabled(false);
    PollTimer->SetEnabled(false);
    return;
  }
  uint32_t interval = 1000;
  switch (State) {
    case eSendU:
      interval = 2000;
      break;
    case eWaitV:
    case eWaitQ:
      interval = 30000;
      break;
    case eWaitW:
      interval = 3000;
      break;
    case eSendFirmware:
      interval = 6000;
      break;
    default:
      break;
  }
  TimeoutTimer->SetInterval(interval);
  PollTimer->SetInterval(interval - 200);
  // Only the wrong-firmware error stops the engine; an earlier error still showing must not (a lost answer
  // would then wait for ever).
  TimeoutTimer->SetEnabled(!(State == eCheckFlash && wrongFirmware_));
  PollTimer->SetEnabled(TimeoutTimer->Enabled());
}

void TSerialThread::Stamp() {
  WaitStart = tk::App().Now();
}

}  // namespace engine
