// A batch (/all): one PortRun per port, all at once, and the batch's end.
#include <algorithm>

#include "app/core/UpdateController.h"
#include "engine/SerialThreadDef.h"
#include "payload/CommandLine.h"
#include "serial/PortName.h"
#include "toolkit/Clock.h"

namespace app {

void UpdateController::StartBatch(const payload::CommandLine& cl) {
  batch_ = true;
  bootFlag_ = cl.BootFlag;
  batchNamed_ = !cl.Ports.empty();
  batchStartUs_ = tk::MonotonicUs();
  // A check sends no payload.
  if (!check_) {
    const auto firmware = BytesOf(*sources_.Firmware);
    const auto loader = BytesOf(*sources_.Loader);
    shared_.Firmware = firmware.first;
    shared_.FirmwareBytes = firmware.second;
    shared_.Loader = loader.first;
    shared_.LoaderBytes = loader.second;
  }
  shared_.Check = check_;
  shared_.CheckFirmware = checkFirmware_;
  shared_.TimeoutSeconds = timeoutSeconds_;
  // A loader file goes out a byte a read, as a single update sends it.
  shared_.LoaderPiece = payload::LoaderFromFile(runMode_) ? 1 : 64;
  shared_.FirmwareSize = static_cast<uint32_t>(firmwareSize_);
  shared_.LoaderSize = static_cast<uint32_t>(loaderSize_);
  std::vector<std::string> names, devices;
  for (const engine::PortCandidate& port : engine::PortCandidates(cl.Ports)) {
    // One port named twice, in any spelling ("COM3", "com3", "\\.\COM3", a link to it), would be opened
    // twice and share a log file: once is enough. A name that reaches no device now is itself.
    std::string device = commos::PortIdentity(port.Device);
    if (device.empty()) device = port.Device;
    const auto same = std::find(devices.begin(), devices.end(), device);
    if (same != devices.end()) {
      AppendLogLine(port.Name + " is the same port as " + names[static_cast<size_t>(same - devices.begin())] +
                    " (" + device + "): it is updated once");
      continue;
    }
    names.push_back(port.Name);
    devices.push_back(device);
  }
  AppendLogLine((check_ ? "Checking every indicator found on " : "Updating every indicator found on ") +
                std::to_string(names.size()) + " ports at once");
  runs_.resize(names.size());
  // Every engine's first step is queued, so the ports all begin at once and none is left out of the count.
  for (size_t i = 0; i < names.size() && !closed_; ++i) StartPort(i, names[i]);
}

void UpdateController::StartPort(size_t index, const std::string& name) {
  IPortView* row = detached_ ? nullptr : view_.PortAdded(index, name);
  if (runs_[index]) replaced_.push_back(std::move(runs_[index]));
  runs_[index] = std::make_unique<PortRun>(name, row, log_.Lines(), [this](PortRun& run) { PortEnded(run); });
  runs_[index]->Start(shared_, bootFlag_);
}

void UpdateController::PortEnded(PortRun& run) {
  const PortResult& r = run.Result();
  // A port of the default list that never opened is no port of this computer: nothing to keep for it.
  if (run.Opened() || batchNamed_) run.WriteLog(options_.LogDir);
  AppendLogLine(r.Port + ": " + OutcomeName(r.Outcome) + (r.Reason.empty() ? "" : " (" + r.Reason + ")"));
  run.TellEnded();
  if (stopping_) return;
  for (const auto& other : runs_) {
    if (!other || other->Running()) return;
  }
  FinishBatch();
}

BatchResult UpdateController::FinishBatch() {
  BatchResult result;
  for (const auto& run : runs_) {
    if (run) result.Ports.push_back(run->Result());
  }
  result.Ok = BatchOk(result.Ports);
  result.ExitCode = BatchExitCode(result.Ports);
  // Stopped by Exit, Quit or a signal: that is the end's reason, not what the ports found so far.
  if (stopping_ && !result.Ok) result.ExitCode = kExitFailed;
  result.Seconds = static_cast<double>(tk::MonotonicUs() - batchStartUs_) / 1e6;
  succeeded_ = result.Ok;
  // A new scan may end the batch again: its last end is the run's.
  decided_ = false;
  const char* outcome = result.Ok                                 ? (check_ ? "checked" : "updated")
                        : result.ExitCode == kExitNoIndicator     ? "no_indicator"
                        : result.ExitCode == kExitFirmwareRefused ? "firmware_refused"
                        : stopping_                               ? "stopped"
                                                                  : "failed";
  Decided(outcome, result.ExitCode, std::string());
  result_.Interrupted = stopping_;
  if (!detached_) view_.BatchEnded(result);
  if (!stopping_ && (exitWhenDone_ || options_.EndWhenEngineFinishes)) Close();
  return result;
}

bool UpdateController::ScanAgain() {
  if (!batch_ || closed_) return false;
  for (const auto& run : runs_) {
    if (run && run->Running()) return false;
  }
  bool any = false;
  for (size_t i = 0; i < runs_.size() && !closed_; ++i) {
    const PortOutcome outcome = runs_[i]->Result().Outcome;
    if (outcome != PortOutcome::NoIndicator && outcome != PortOutcome::Skipped) continue;
    any = true;
    StartPort(i, runs_[i]->Name());
  }
  return any;
}

}  // namespace app
