#include "app/core/PortRun.h"

#include <algorithm>

#include "app/core/Texts.h"
#include "engine/Protocol.h"
#include "engine/SerialThreadDef.h"
#include "serial/CommOs.h"
#include "toolkit/Clock.h"

namespace app {

namespace {

// The shared bytes of a payload, read by one engine: each port keeps its own position.
class SharedPayload : public engine::IPayloadSource {
 public:
  SharedPayload(const uint8_t* data, size_t size, int piece) : view_(data, size), piece_(piece) {}
  void Rewind() override { view_.Rewind(); }
  int Read(uint8_t* out, int max) override { return view_.Read(out, std::min(max, piece_)); }

 private:
  engine::BufferPayload view_;
  int piece_;
};

bool NameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

}  // namespace

const char* OutcomeName(PortOutcome outcome) {
  switch (outcome) {
    case PortOutcome::Running:
      return "running";
    case PortOutcome::Updated:
      return "updated";
    case PortOutcome::Failed:
      return "failed";
    case PortOutcome::NoIndicator:
      return "no_indicator";
    case PortOutcome::Skipped:
      return "skipped";
    case PortOutcome::Checked:
      return "checked";
  }
  return "failed";
}

bool BatchOk(const std::vector<PortResult>& ports) {
  bool checked = false;
  bool allFit = true;
  for (const PortResult& port : ports) {
    if (port.Outcome != PortOutcome::Checked) continue;
    checked = true;
    allFit = allFit && !engine::RefusesFirmware(port.Check.Verdict);
  }
  // A check is an inventory: a port without an indicator is no indicator that failed.
  if (checked) {
    for (const PortResult& port : ports) allFit = allFit && port.Outcome != PortOutcome::Failed;
    return allFit;
  }
  bool updated = false;
  for (const PortResult& port : ports) {
    // A port that opened but where no indicator answered is one of the batch's indicators that was not
    // updated (a scale switched off, a cable pulled); a port that did not open, or a Bluetooth link, is not.
    if (port.Outcome != PortOutcome::Updated && port.Outcome != PortOutcome::Skipped) return false;
    updated = updated || port.Outcome == PortOutcome::Updated;
  }
  return updated;
}

int BatchExitCode(const std::vector<PortResult>& ports) {
  if (BatchOk(ports)) return 0;
  bool answered = false;
  bool checkRefused = false;
  bool allRefused = true;
  for (const PortResult& port : ports) {
    if (port.Outcome == PortOutcome::NoIndicator || port.Outcome == PortOutcome::Skipped) continue;
    answered = true;
    const bool checked = port.Outcome == PortOutcome::Checked;
    const bool refused = checked ? engine::RefusesFirmware(port.Check.Verdict) : port.Refused;
    checkRefused = checkRefused || (checked && refused);
    allRefused = allRefused && refused;
  }
  if (!answered) return 3;
  return checkRefused || allRefused ? 4 : 1;
}

std::string PortLogFileName(const std::string& port) {
  std::string name = port;
  // A URL keeps its host and port; a device path counts by its last part.
  const size_t scheme = name.find("://");
  if (scheme != std::string::npos) {
    name = name.substr(scheme + 3);
  } else {
    const size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos && slash + 1 < name.size()) name = name.substr(slash + 1);
  }
  std::string safe;
  for (char c : name) safe.push_back(NameCharacter(c) ? c : '_');
  if (safe.empty()) safe = "_";
  std::string file = kLogFileName;
  const size_t dot = file.rfind('.');
  return file.substr(0, dot) + "." + safe + file.substr(dot);
}

PortRun::PortRun(std::string name, IPortView* view, const std::vector<std::string>& startLines,
                 std::function<void(PortRun&)> onEnded)
    : view_(view), onEnded_(std::move(onEnded)) {
  result_.Port = std::move(name);
  result_.Status = kSearchingStatus;
  // The log's own first line is the empty one every diagnostic log starts with.
  for (size_t i = 1; i < startLines.size(); ++i) log_.Append(startLines[i]);
  try {
    result_.Device = commos::ResolvePortName(result_.Port);
  } catch (...) {
  }
}

PortRun::~PortRun() {
  Release();
}

void PortRun::Start(const Payloads& payloads, bool bootFlag) {
  startUs_ = tk::MonotonicUs();
  firmware_ = std::make_unique<SharedPayload>(payloads.Firmware, payloads.FirmwareBytes, 1 << 30);
  loader_ = std::make_unique<SharedPayload>(payloads.Loader, payloads.LoaderBytes, payloads.LoaderPiece);
  engine_ = std::make_unique<engine::TSerialThread>(this, this);
  engine_->LoaderSource = loader_.get();
  engine_->FirmwareSource = firmware_.get();
  engine_->FirmwareSize = payloads.FirmwareSize;
  engine_->LoaderSize = payloads.LoaderSize;
  engine_->SetBatchPort(result_.Port);
  if (payloads.Check) engine_->SetCheckOnly(payloads.CheckFirmware);
  engine_->OnFinished = [this](engine::TSerialThread*) { EngineFinished(); };
  timeoutSeconds_ = payloads.TimeoutSeconds;
  bound_.Start(
      timeoutSeconds_, [this] { return engine_ ? engine_->LongWaitLeftMs() : int64_t{0}; },
      [this] { BoundTimerFired(); });
  engine_->StartQueued(bootFlag ? 1 : 0);
}

void PortRun::EngineFinished() {
  if (!Running() || !engine_) return;
  // The port's log is written as it ends: with what its close cut short, and the port free for others.
  engine_->ReleasePort();
  opened_ = engine_->Ended() != engine::PortEnd::NoPort;
  if (engine_->CheckOnly() && engine_->Ended() == engine::PortEnd::None) {
    result_.Check = engine_->CheckResult();
    ApplyStatus("Checked: " + engine::VerdictText(result_.Check.Verdict));
    End(PortOutcome::Checked, engine::VerdictText(result_.Check.Verdict));
    return;
  }
  if (engine_->Succeeded) {
    // The last bytes are counted by no progress report of the transfer: the bar ends full.
    if (visible_) SetProgressPosition(std::max(position_, max_));
    ApplyStatus(kSuccessStatus);
    End(PortOutcome::Updated, std::string());
    return;
  }
  switch (engine_->Ended()) {
    case engine::PortEnd::NoPort:
    case engine::PortEnd::Bluetooth:
      End(PortOutcome::Skipped, engine_->EndReason());
      return;
    case engine::PortEnd::NoIndicator:
      End(PortOutcome::NoIndicator, engine_->EndReason());
      return;
    case engine::PortEnd::None:
      break;
  }
  result_.Refused = message_ == engine::kNoSpaceText || message_ == engine::kHeapText;
  End(PortOutcome::Failed,
      message_.empty() ? "the update ended without the indicator's confirmation" : message_);
}

void PortRun::BoundTimerFired() {
  if (!Running()) return;
  const std::string seconds = std::to_string(timeoutSeconds_);
  AppendLogLine("--timeout " + seconds + ": no progress for " + seconds + " s; the port stops");
  Stop("no progress for " + seconds + " s (--timeout)");
}

void PortRun::Progressed() {
  if (Running()) bound_.Progressed();
}

void PortRun::CheckDone(const engine::CheckReport& report) {
  result_.Check = report;
  if (report.Baud) result_.Baud = report.Baud;
  if (view_) view_->CheckDone(report);
}

void PortRun::Stop(const std::string& reason) {
  bound_.Stop();
  std::string why = reason;
  if (engine_ && Running() && engine_->InBootLoader()) {
    why += "; the indicator waits in its boot loader: run the same command again, or with /b, to finish";
    AppendLogLine(std::string("Stopped. ") + kBootLoaderNote);
  }
  if (engine_) {
    engine_->OnFinished = nullptr;
    try {
      engine_->Finish();
      engine_->ReleasePort();
    } catch (...) {
    }
  }
  if (!Running()) return;
  opened_ = !engine_ || engine_->Ended() != engine::PortEnd::NoPort;
  if (engine_ && engine_->Succeeded) {
    End(PortOutcome::Updated, std::string());
  } else if (result_.Baud != 0) {
    result_.Refused = result_.ErrorCode == engine::kErrorWrongFirmware;
    End(PortOutcome::Failed, why);
  } else {
    End(PortOutcome::NoIndicator, why + " before an indicator answered");
  }
}

void PortRun::End(PortOutcome outcome, const std::string& reason) {
  bound_.Stop();
  result_.Outcome = outcome;
  result_.Reason = reason;
  result_.Seconds = static_cast<double>(tk::MonotonicUs() - startUs_) / 1e6;
  // The owner writes the port's log file first, so that its row can name it.
  if (onEnded_) {
    onEnded_(*this);
  } else {
    TellEnded();
  }
}

void PortRun::TellEnded() {
  if (view_) view_->Ended(result_);
}

const LogFileResult& PortRun::WriteLog(const std::string& dir) {
  if (logFile_.Written && log_.Revision() == savedRevision_) return logFile_;
  logFile_ = app::WriteLogFile(dir, PortLogFileName(result_.Port), log_.FileText(), ProgramStart());
  if (logFile_.Written) {
    savedRevision_ = log_.Revision();
    result_.LogFile = logFile_.Path;
  }
  return logFile_;
}

void PortRun::Release() {
  bound_.Stop();
  if (!engine_) return;
  engine_->OnFinished = nullptr;
  engine_.reset();
}

// ---- What the engine reports

void PortRun::AppendLogLine(const std::string& text) {
  auto lines = log_.Append(text);
  if (view_) view_->LogLinesAdded(lines);
}

void PortRun::ApplyStatus(const std::string& text) {
  result_.Status = text;
  if (view_) view_->StatusChanged(text);
}

void PortRun::SetProgressPosition(int position) {
  if (position > position_) Progressed();
  position_ = position;
  if (view_) view_->ProgressPositionChanged(position);
}

void PortRun::SetProgressMax(int max) {
  max_ = max;
  if (view_) view_->ProgressMaxChanged(max);
}

void PortRun::SetProgressVisible(bool visible) {
  // The bar is hidden only when the whole loader has gone out: its last frame shows all of it.
  if (!visible && visible_) SetProgressPosition(std::max(position_, max_));
  visible_ = visible;
  if (view_) view_->ProgressVisibleChanged(visible);
}

void PortRun::PortAnswering(const std::string& name, const std::string& device, int baud) {
  result_.Baud = baud;
  Progressed();
  if (view_) view_->PortAnswering(name, device, baud);
}

bool PortRun::ShowMessage(const std::string& text) {
  message_ = text;
  AppendLogLine(text);
  if (view_) view_->MessageShown(text);
  return true;
}

void PortRun::ShowErrorMessage(uint32_t code) {
  result_.ErrorCode = code;
  if (view_) view_->ErrorChanged(code);
}

void PortRun::Hide() {
  if (view_) view_->ErrorChanged(0);
}

}  // namespace app
