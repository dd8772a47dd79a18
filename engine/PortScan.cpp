// The port scan, the baud rate and sending commands.
#include "engine/SerialThreadDef.h"

#include "serial/PortName.h"

namespace engine {

namespace {

constexpr int kDefaultPortCount = 25;

PortCandidate Numbered(long n, const std::string& name) {
  const std::string number = std::to_string(n);
  return {name, "Com" + number, "COM" + number};
}

}  // namespace

std::vector<PortCandidate> PortCandidates(const std::vector<std::string>& names) {
  std::vector<PortCandidate> list;
  if (names.empty()) {
    for (int n = 1; n <= kDefaultPortCount; ++n) list.push_back(Numbered(n, "Com" + std::to_string(n)));
    return list;
  }
  for (const std::string& name : names) {
    const commos::PortName parsed = commos::ParsePortName(name);
    // "\\.\COM37" and "com37" are the same port as Com37: the port layer maps that one name on each system.
    if (parsed.kind == commos::PortKind::Com) {
      list.push_back(Numbered(parsed.com, name));
    } else {
      list.push_back({name, name, name});
    }
  }
  return list;
}

void TSerialThread::SetPortNames(const std::vector<std::string>& names) {
  Candidates = PortCandidates(names);
  namedPorts_ = !names.empty();
  PortOpenMarks.assign(Candidates.size() + 1, 0);
}

void TSerialThread::SetBatchPort(const std::string& name) {
  SetPortNames({name});
  batch_ = true;
}

void TSerialThread::EndForPort(PortEnd why, const std::string& reason) {
  if (Terminated()) return;
  ended_ = why;
  endReason_ = reason;
  Log(reason);
  // Released at once: another program, or a later scan of this one, may find an indicator there.
  ReleasePort();
  Finish();
}

const PortCandidate* TSerialThread::Selected() const {
  if (PortNumber < 1 || PortNumber > PortCount()) return nullptr;
  return &Candidates[static_cast<size_t>(PortNumber) - 1];
}

void TSerialThread::OpenPort(int firstNumber) {
  PortNumber = firstNumber;
  const int count = PortCount();
  if (PortNumber < 1 || PortNumber > count) PortNumber = 1;
  // A remote port's connection that has come is taken at once: the scan's pause was had before it began.
  const bool connecting = Port->OpenPending();
  Port->Close();
  ForgetHeldWrite();
  ConnectTimer->SetEnabled(false);
  // Another port is looked for: the device the indicator answered on no longer holds the engine.
  Port->UnpinDevice();
  flashUnanswered_ = 0;
  checkRestarts_ = 0;
  answered_ = false;
  if (!connecting) serial::DelayProcessingMessages(200);
  if (PortNumber == 1) openFailures_.clear();
  for (int attempt = 0; attempt < count; ++attempt) {
    Port->SetDeviceName(Selected()->Device);
    if (!Port->Connected()) Port->Open();
    if (Terminated()) return;
    // A remote port still connecting: the state's timeout comes back for it, or its connection when sooner.
    if (Port->OpenPending()) {
      ConnectTimer->SetEnabled(true);
      return;
    }
    if (Port->Connected()) {
      if (!Port->OpenNotice().empty()) Log(Port->OpenNotice());
      PortOpenMarks[PortNumber] = 1;
      return;
    }
    Log("\r\nCan not open " + Selected()->Device + " to communicate");
    PortOpenMarks[PortNumber] = 0;
    const std::string why = Port->LastOsError();
    const std::string failure = Selected()->Name + " did not open" + (why.empty() ? "" : ": " + why);
    if (batch_) {
      EndForPort(PortEnd::NoPort, failure);
      return;
    }
    // A port the technician named deserves its reason beside the dialog's checklist.
    if (namedPorts_) openFailures_.push_back(failure);
    ++PortNumber;
    if (PortNumber > count) {
      PortNumber = 1;
      bool anyOpened = false;
      for (int n = 1; n <= count; ++n) anyOpened = anyOpened || PortOpenMarks[n] == 1;
      if (checkOnly_) {
        // A check makes one round: no port left to ask.
        std::string reason = anyOpened ? "No indicator answered on any port at 9600 or 38400 baud rate"
                                       : "No port could be opened";
        for (const std::string& f : openFailures_) reason += "; " + f;
        CheckEnd(CheckVerdict::NoIndicator, reason);
        return;
      }
      if (ErrorShown == 0) {
        if (!anyOpened) {
          ShowErrorAlways(kErrorNoPort);
          Log("No serial port available in this computer");
        } else {
          ShowErrorAlways(kErrorNoIndicator);
        }
        std::string detail;
        for (const std::string& f : openFailures_) detail += (detail.empty() ? "" : "\n") + f;
        if (!detail.empty() && ErrorDialog) ErrorDialog->ShowErrorDetail(detail);
      }
    }
  }
}

void TSerialThread::SetBaud(int baud) {
  // The rest of a pending write goes out at the rate it was begun at, or the indicator reads garbage: the
  // rate changes once it has gone (what is written meanwhile waits behind it). Where nothing has answered,
  // that rest is dropped instead.
  if (writePending_ && baud != CurrentBaud && !WriteGone()) {
    if (answered_) {
      CurrentBaud = baud;
      baudAfterWrite_ = baud;
      return;
    }
    DropHeldWrite();
  }
  CurrentBaud = baud;
  if (baud == 9600 && Port->BaudRate() == serial::br38400) {
    Port->SetBaudRate(serial::br9600);
  } else if (baud == 38400 && Port->BaudRate() == serial::br9600) {
    Port->SetBaudRate(serial::br38400);
  }
}

void TSerialThread::SendCommand(const std::string& text) {
  if (text.empty()) {
    Stamp();
    return;
  }
  try {
    if (text.size() > kSendBufferSize) {
      // No command is near this long; refuse rather than overflow the send buffer.
      Log("Command longer than " + std::to_string(kSendBufferSize) + " bytes not sent");
      Stamp();
      return;
    }
    char buffer[kSendBufferSize];
    for (size_t i = 0; i < text.size(); ++i) {
      if (Terminated()) return;
      buffer[i] = text[i];
    }
    SetRxPos(1);
    if (Terminated() || PortAway() || CheckRefuses(text)) return;
    WriteAll(buffer, static_cast<int>(text.size()));
    if (Terminated() || PortAway()) return;
    const PortCandidate* port = Selected();
    Log("Sending " + text + " at " + std::to_string(CurrentBaud) + " baud rate on " +
        (port ? port->OnLine : "COM" + std::to_string(PortNumber)) + ". Timeout set to " +
        std::to_string(TimeoutTimer->Interval()));
    sentPort_ = PortNumber;
    sentBaud_ = CurrentBaud;
  } catch (...) {
  }
  Stamp();
}

void TSerialThread::CommError(serial::TCustomComm* /*sender*/, int errors) {
  if (errors == -1) return;
  // A port that is away fails every call until it is back: that is known already.
  if (reopening_ || PortAway()) return;
  Log(serial::CommErrorText(errors) + "on " + Port->DeviceName() + " Actual error code is " +
      std::to_string(errors));
  // A port that exists but will not open deserves its reason (busy, no permission, ...); the many names of
  // the default scan without any device behind them would only bury it. A port the technician named always
  // gets it: a server that refuses, a host not found, a mistyped device path.
  if ((errors == serial::kErrNotInstalled || errors == serial::kErrInvalidHandle) &&
      (namedPorts_ || !Port->LastOpenFoundNoDevice()) && !Port->LastOsError().empty()) {
    Log("  (" + Port->LastOsError() + ")");
  }
  if (DeviceGone(errors)) PortGone();
}

void TSerialThread::WriteOut(const void* data, int count) {
  if (PortAway()) return;
  WriteAll(data, count);
}

bool TSerialThread::DeviceGone(int errors) const {
  // The monitor reports a vanished device once, as an I/O error; a write may meet it first.
  if (errors > 0) return (errors & commos::CE_IOE) && Port->LastErrorKind() == commos::ErrorKind::Gone;
  return errors == serial::kErrWrite && commos::LastErrorKind() == commos::ErrorKind::Gone;
}

namespace {

// The device behind a port name, for the lines about a port that went away.
std::string OnDevice(const serial::TCustomComm& port) {
  const std::string device = port.PinnedDevice().empty() ? port.StableDeviceName() : port.PinnedDevice();
  return device.empty() ? std::string() : " (" + device + ")";
}

}  // namespace

void TSerialThread::PortGone() {
  ++portLosses_;
  awaySince_ = tk::App().Now();
  Log(Port->DeviceName() + " has gone away; opening it again as soon as it is back" + OnDevice(*Port));
  TimeoutTimer->SetEnabled(false);
  PollTimer->SetEnabled(false);
  Port->Close();
  ForgetHeldWrite();
  ReopenTimer->SetEnabled(true);
}

void TSerialThread::ConnectTimerFired() {
  if (Terminated() || !Port->PendingOpenEnded()) return;
  ConnectTimer->SetEnabled(false);
  TimeoutTimer->SetEnabled(false);
  TimeoutTimerFired();
}

void TSerialThread::ReopenTimerFired() {
  if (Terminated() || !PortAway()) return;
  reopening_ = true;
  try {
    // The same rate and flow control as before, and the same device once the indicator had answered on it:
    // with it gone, its name may count another adapter, which must never hear the resend.
    Port->Open();
  } catch (...) {
  }
  reopening_ = false;
  if (!Port->Connected()) return;
  ReopenTimer->SetEnabled(false);
  const int64_t away = MillisecondsSince(awaySince_);
  awaySince_ = 0;
  Log(Port->DeviceName() + " is back after " + std::to_string(away) + " ms away" + OnDevice(*Port));
  // What was received before the loss is no answer to what comes now; the state's timeout entry resends.
  SetRxPos(1);
  ReplyKind = kReplyTimeout;
  WakeEvent.Set();
}

}  // namespace engine
