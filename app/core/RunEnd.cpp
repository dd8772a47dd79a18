// How a run ends: its outcome and exit code, the bound on a run without progress (--timeout), and what the
// error dialog showed, which the end's reason names; and the identify-only check's start.
#include "app/core/ErrorTexts.h"
#include "app/core/UpdateController.h"
#include "engine/SerialThreadDef.h"
#include "toolkit/Runtime.h"

namespace app {

void UpdateController::Decided(const std::string& outcome, int exitCode, const std::string& reason) {
  if (decided_) return;
  decided_ = true;
  // Decided: a bound on progress has nothing left to bound.
  if (boundTimer_) boundTimer_->SetEnabled(false);
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
    Notify(
        "The update was stopped while the indicator is in its boot loader (its firmware erased or only "
        "partly written): it waits there. Run the same command again, or with /b, to finish the update.");
  }
  const std::string error = ErrorReason();
  Decided(errorCode_ == engine::kErrorWrongFirmware ? "firmware_refused" : "stopped",
          errorCode_ == engine::kErrorWrongFirmware ? kExitFirmwareRefused : kExitFailed,
          reason + (error.empty() ? "" : " (" + error + ")"));
  result_.Interrupted = true;
}

void UpdateController::StartBound(int seconds) {
  if (seconds <= 0) return;
  boundTimer_ = tk::App().NewTimer();
  boundTimer_->SetEnabled(false);
  boundTimer_->SetInterval(static_cast<uint32_t>(seconds) * 1000u);
  boundTimer_->SetOnTimer([this] { BoundTimerFired(); });
  boundTimer_->SetEnabled(true);
}

void UpdateController::Progressed() {
  if (!boundTimer_ || closed_) return;
  // A full bound again from here.
  boundTimer_->SetEnabled(false);
  boundTimer_->SetInterval(static_cast<uint32_t>(timeoutSeconds_) * 1000u);
  boundTimer_->SetEnabled(true);
}

void UpdateController::BoundTimerFired() {
  if (closed_) return;
  // The indicator's own long work (the erase) is no lack of progress while the engine still waits for it.
  const int64_t left = engine_ ? engine_->LongWaitLeftMs() : 0;
  if (left > 0) {
    boundTimer_->SetEnabled(false);
    boundTimer_->SetInterval(static_cast<uint32_t>(left) + 1000u);
    boundTimer_->SetEnabled(true);
    return;
  }
  boundTimer_->SetEnabled(false);
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
    Notify(
        "The run ended while the indicator is in its boot loader (its firmware erased or only partly "
        "written): it waits there. Run the same command again, or with /b, to finish the update.");
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
