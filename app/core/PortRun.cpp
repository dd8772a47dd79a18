#include "app/core/PortRun.h"

#include <algorithm>

#include "app/core/Texts.h"
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
  }
  return "failed";
}

bool BatchOk(const std::vector<PortResult>& ports) {
  bool updated = false;
  for (const PortResult& port : ports) {
    // A port that opened but where no indicator answered is one of the batch's indicators that was not
    // updated (a scale switched off, a cable pulled); a port that did not open, or a Bluetooth link, is not.
    if (port.Outcome != PortOutcome::Updated && port.Outcome != PortOutcome::Skipped) return false;
    updated = updated || port.Outcome == PortOutcome::Updated;
  }
  return updated;
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
  engine_->OnFinished = [this](engine::TSerialThread*) { EngineFinished(); };
  engine_->StartQueued(bootFlag ? 1 : 0);
}

void PortRun::EngineFinished() {
  if (!Running() || !engine_) return;
  // The port's log is written as it ends: with what its close cut short, and the port free for others.
  engine_->ReleasePort();
  opened_ = engine_->Ended() != engine::PortEnd::NoPort;
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
  End(PortOutcome::Failed,
      message_.empty() ? "the update ended without the indicator's confirmation" : message_);
}

void PortRun::Stop(const std::string& reason) {
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
    End(PortOutcome::Failed, reason);
  } else {
    End(PortOutcome::NoIndicator, reason + " before an indicator answered");
  }
}

void PortRun::End(PortOutcome outcome, const std::string& reason) {
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
