// How a run ends: its outcome and exit code, the bound on a run without progress (--timeout), and what the
// error dialog showed, which the end's reason names; and the identify-only check's start.
#include "app/core/ErrorTexts.h"
#include "app/core/Texts.h"
#include "app/core/UpdateController.h"
#include "engine/SerialThreadDef.h"
#include "toolkit/Runtime.h"

namespace app {

void UpdateController::Decided(const std::string& outcome, int exitCode, const std::string& reason) {
  if (decided_) return;
  decided_ = true;
  // Decided: a bound on progress has nothing left to bound.
  bound_.Stop();
  result_.Outcome = outcome;
  result_.ExitCode = exitCode;
  result_.Reason = reason;
}

std::string UpdateController::ErrorReason() const {
  if (errorCode_ == 0) return errorDetail_;
  const std::vector<std::string>& lines = ErrorTextFor(errorCode_).Lines;
  std::string text = "error " + std::to_string(errorCode_) + (lines.empty() ? "" : ": " + lines[0]);
  return text + (errorDetail_.empty() ? "" : "; " + errorDetail_);
}

const char* UpdateController::BootLoaderNote() const {
  return options_.Carrier == "page" ? kBootLoaderNotePage : kBootLoaderNote;
}

void UpdateController::DecideStopped() {
  if (decided_) return;
  if (batch_) return;  // a batch's end is its ports' results (FinishBatch)
  if (engine_ && engine_->Succeeded) {
    Decided("updated", kExitDone, std::string());
    return;
  }
  std::string reason = answered_ ? "stopped during the update" : "stopped before an indicator answered";
  if (engine_ && engine_->InBootLoader()) {
    reason += "; the indicator waits in its boot loader";
    Notify(std::string("The update was stopped. ") + BootLoaderNote());
  }
  const std::string error = ErrorReason();
  Decided(errorCode_ == engine::kErrorWrongFirmware ? "firmware_refused" : "stopped",
          errorCode_ == engine::kErrorWrongFirmware ? kExitFirmwareRefused : kExitFailed,
          reason + (error.empty() ? "" : " (" + error + ")"));
  result_.Interrupted = true;
}

void UpdateController::StartBound(int seconds) {
  bound_.Start(
      seconds, [this] { return engine_ ? engine_->LongWaitLeftMs() : int64_t{0}; },
      [this] { BoundTimerFired(); });
}

void UpdateController::Progressed() {
  if (!closed_) bound_.Progressed();
}

void UpdateController::BoundTimerFired() {
  if (closed_) return;
  const std::string seconds = std::to_string(timeoutSeconds_);
  const std::string error = ErrorReason();
  const std::string why =
      answered_ ? "no progress for " + seconds + " s" : "no indicator answered within " + seconds + " s";
  AppendLogLine("--timeout " + seconds + ": " + why + "; the run ends");
  if (errorCode_ == engine::kErrorWrongFirmware) {
    Decided("firmware_refused", kExitFirmwareRefused, error);
  } else {
    Decided("timed_out", answered_ ? kExitFailed : kExitNoIndicator,
            why + (error.empty() ? "" : " (" + error + ")"));
  }
  if (engine_ && engine_->InBootLoader()) {
    Notify(std::string("The run ended. ") + BootLoaderNote());
  }
  Close();
}

void UpdateController::StartCheck(const payload::CommandLine& cl) {
  payload::SizesResult sizes = payload::ComputeFirmwareSize(runMode_, cl.FirmwarePath);
  if (!sizes.Ok()) {
    RefuseStart(sizes.Message);
    return;
  }
  firmwareSize_ = sizes.FirmwareSize;
  checkFirmware_ = firmwareSize_ > 0;
  StartEngines(cl, sizes);
}

void UpdateController::ErrorRelay::ShowErrorMessage(uint32_t code) {
  owner_.errorCode_ = code;
  owner_.errorDetail_.clear();
  if (owner_.errorDialog_) owner_.errorDialog_->ShowErrorMessage(code);
}

void UpdateController::ErrorRelay::ShowErrorDetail(const std::string& detail) {
  owner_.errorDetail_ = detail;
  owner_.AppendLogLine(detail);
  if (owner_.errorDialog_) owner_.errorDialog_->ShowErrorDetail(detail);
}

void UpdateController::ErrorRelay::Hide() {
  owner_.errorCode_ = 0;
  owner_.errorDetail_.clear();
  if (owner_.errorDialog_) owner_.errorDialog_->Hide();
}

}  // namespace app
