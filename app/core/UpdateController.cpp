#include "app/core/UpdateController.h"

#include <algorithm>
#include <cstdio>

#include "app/core/Texts.h"
#include "engine/Protocol.h"
#include "engine/SerialThreadDef.h"
#include "payload/Buffers.h"
#include "payload/CommandLine.h"
#include "payload/PayloadSizes.h"
#include "serial/CommOs.h"
#include "serial/PortName.h"
#include "toolkit/Clock.h"
#include "toolkit/QueuedRuntime.h"
#include "toolkit/Runtime.h"
#include "toolkit/Sync.h"

namespace app {

PayloadReport MeasurePayload(engine::IPayloadSource& source, std::string name, uint32_t limit,
                             uint32_t padTo) {
  PayloadReport report;
  report.Source = std::move(name);
  uint16_t crc = 0;
  uint8_t piece[4096];
  try {
    source.Rewind();
    while (report.Size < limit) {
      const int n =
          source.Read(piece, static_cast<int>(std::min<uint32_t>(sizeof piece, limit - report.Size)));
      if (n <= 0) break;
      for (int i = 0; i < n; ++i) crc = engine::CrcAdd(crc, piece[i]);
      report.Size += static_cast<uint32_t>(n);
    }
    source.Rewind();
  } catch (const std::exception&) {
    report.Readable = false;
  }
  for (; report.Size < padTo; ++report.Size) crc = engine::CrcAdd(crc, 0xFF);
  report.Crc16 = crc;
  return report;
}

std::string PayloadText(const PayloadReport& report, size_t digits) {
  char crc[16];
  std::snprintf(crc, sizeof crc, "0x%04X", static_cast<unsigned>(report.Crc16));
  std::string text = report.Source + ", " + std::to_string(report.Size) + " bytes, CRC-16 " + crc;
  if (!report.Sha256.empty()) {
    text += ", SHA-256 " + report.Sha256.substr(0, digits);
    if (report.Source == "embedded" && !report.Sha256Recorded) text += " (no digest recorded)";
  }
  return text + (report.Readable ? "" : ", unreadable");
}

UpdateController::UpdateController(IView& view, Options options)
    : view_(view), options_(std::move(options)), status_(kSearchingStatus) {}

UpdateController::~UpdateController() {
  // The presentation may already be gone: end without telling it.
  detached_ = true;
  Shutdown();
}

void UpdateController::FormShow(const std::vector<std::string>& args) {
  if (shown_ || closed_) return;
  shown_ = true;
  title_ = kWindowTitle;
  view_.TitleChanged(title_);

  payload::CommandLine cl = payload::ParseCommandLine(args);
  view_.FocusExit();
  if (cl.ShowDebugButton) {
    debugButtonVisible_ = true;
    view_.DebugButtonShown();
  }
  runMode_ = cl.RunMode;
  exitWhenDone_ = cl.ExitWhenDone;
  try {
    Decide(cl);
  } catch (const std::exception& e) {
    // Whatever the payload files or the builder could not do ends the start with its reason, never the
    // program without its log file.
    tk::App().MessageBox(e.what(), payload::kMessageCaption);
    Close();
  }
}

void UpdateController::Decide(payload::CommandLine& cl) {
  if (payload::BuildsUpdater(runMode_)) {
    Build(payload::EmbedsFirmware(runMode_), payload::EmbedsLoader(runMode_), cl);
    return;
  }
  // A mistyped port is told before anything else is looked at, and long before any port opens.
  if (!PortNamesValid(cl.Ports)) return;
  // The loader test comes first: with both buffers empty only the loader message is shown.
  if (!payload::LoaderFromFile(runMode_) && payload::LoaderBufferEmpty()) {
    tk::App().MessageBox(kNoLoaderText, kStartMessageCaption);
    Close();
    return;
  }
  if (!payload::FirmwareFromFile(runMode_) && payload::FirmwareBufferEmpty()) {
    tk::App().MessageBox(kNoFirmwareText, kStartMessageCaption);
    Close();
    return;
  }
  StartUpdate(cl);
}

bool UpdateController::PortNamesValid(const std::vector<std::string>& ports) {
  for (const std::string& name : ports) {
    const commos::PortName parsed = commos::ParsePortName(name);
    if (parsed.kind != commos::PortKind::Invalid) continue;
    RefuseStart(parsed.why);
    return false;
  }
  return true;
}

void UpdateController::Build(bool copyFirmware, bool copyLoader, payload::CommandLine& cl) {
  const payload::BuildResult result = payload::BuildUpdater(copyFirmware, copyLoader, cl, options_.SelfPath);
  if (!result.Ok) view_.StartRefused(result.Message);
  if (!result.Message.empty()) tk::App().MessageBox(result.Message, payload::kMessageCaption);
  if (result.Ok) succeeded_ = true;
  view_.BuildDone(result);
  Close();
}

void UpdateController::RefuseStart(const std::string& reason) {
  AppendLogLine(reason);
  view_.StartRefused(reason);
  tk::App().MessageBox(reason, payload::kMessageCaption);
  Close();
}

void UpdateController::StartUpdate(const payload::CommandLine& cl) {
  const std::string& firmwarePath = cl.FirmwarePath;
  const std::string& loaderPath = cl.LoaderPath;
  payload::SizesResult sizes = payload::ComputePayloadSizes(runMode_, firmwarePath, loaderPath);
  if (!sizes.Ok()) {
    // An embedded payload that fails its test may be a damaged copy: that is the better reason.
    if (sizes.outcome != payload::SizesResult::kRefused || EmbeddedPayloadsIntact()) {
      RefuseStart(sizes.Message);
    } else {
      Close();
    }
    return;
  }
  firmwareSize_ = sizes.FirmwareSize;
  loaderSize_ = sizes.LoaderSize;
  AppendLogLine(std::string("Brae update version is ") + kVersionText);
  AppendLogLine("Firmware file size is " + std::to_string(firmwareSize_) + "\r\n\r\n");
  if (!EmbeddedPayloadsIntact()) {
    Close();
    return;
  }

  // The status line reads its starting text from here on (the console prints it now).
  view_.StatusChanged(status_);
  sources_ = ChoosePayloadSources(runMode_, static_cast<uint32_t>(loaderSize_), std::move(sizes.FirmwareFile),
                                  std::move(sizes.LoaderFile));
  ReportPayloads(firmwarePath, loaderPath);
  if (cl.All) {
    StartBatch(cl);
    return;
  }
  engine_ = std::make_unique<engine::TSerialThread>(this, errorDialog_);
  engine_->LoaderSource = sources_.Loader.get();
  engine_->FirmwareSource = sources_.Firmware.get();
  engine_->SetPortNames(cl.Ports);
  engine_->Start(cl.BootFlag ? 1 : 0);
  // The first step may process window messages: a close during it has already stopped the engine, and the
  // callback must then stay unset.
  if (closed_) return;
  engine_->OnFinished = [this](engine::TSerialThread*) { EngineFinished(); };
  engine_->FirmwareSize = static_cast<uint32_t>(firmwareSize_);
  engine_->LoaderSize = static_cast<uint32_t>(loaderSize_);
}

void UpdateController::StartBatch(const payload::CommandLine& cl) {
  batch_ = true;
  bootFlag_ = cl.BootFlag;
  batchNamed_ = !cl.Ports.empty();
  batchStartUs_ = tk::MonotonicUs();
  const auto firmware = BytesOf(*sources_.Firmware);
  const auto loader = BytesOf(*sources_.Loader);
  shared_.Firmware = firmware.first;
  shared_.FirmwareBytes = firmware.second;
  shared_.Loader = loader.first;
  shared_.LoaderBytes = loader.second;
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
  AppendLogLine("Updating every indicator found on " + std::to_string(names.size()) + " ports at once");
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
  result.Seconds = static_cast<double>(tk::MonotonicUs() - batchStartUs_) / 1e6;
  succeeded_ = result.Ok;
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

bool UpdateController::EmbeddedPayloadsIntact() {
  // A copy damaged after its build would send its damage, and the indicator would accept it: the CRC-16 is
  // computed over what is sent. Checked before any port is opened.
  std::string refusal;
  auto check = [&](bool fromFile, payload::DigestCheck (*checkFn)(), payload::DigestCheck* result,
                   const char* kind, const char* capitalised) {
    if (fromFile) return;
    *result = checkFn();
    if (result->state == payload::DigestCheck::kNone) {
      AppendLogLine(std::string(capitalised) +
                    ": this copy carries no SHA-256 of its embedded payload (built before digests were "
                    "recorded); nothing to check it against");
    } else if (result->state == payload::DigestCheck::kMatch) {
      AppendLogLine(std::string(capitalised) +
                    ": the embedded payload matches the SHA-256 recorded by its build");
    } else {
      const std::string text = payload::DigestRefusal(*result, kind);
      AppendLogLine(text);
      refusal += (refusal.empty() ? "" : "\r\n\r\n") + text;
    }
  };
  check(payload::FirmwareFromFile(runMode_), &payload::CheckEmbeddedFirmware, &firmwareCheck_, "firmware",
        "Firmware");
  check(payload::LoaderFromFile(runMode_), &payload::CheckEmbeddedLoader, &loaderCheck_, "loader", "Loader");
  if (refusal.empty()) return true;
  view_.StartRefused(refusal);
  tk::App().MessageBox(refusal, payload::kMessageCaption);
  return false;
}

void UpdateController::ReportPayloads(const std::string& firmwarePath, const std::string& loaderPath) {
  // The firmware as the transfer sends it: cut at the announced size, padded up to it. A loader file goes
  // whole; from the buffer the source already ends at the counted size.
  const uint32_t firmwareSize = static_cast<uint32_t>(firmwareSize_);
  firmwareReport_ =
      MeasurePayload(*sources_.Firmware, payload::FirmwareFromFile(runMode_) ? firmwarePath : "embedded",
                     firmwareSize, firmwareSize);
  loaderReport_ = MeasurePayload(*sources_.Loader,
                                 payload::LoaderFromFile(runMode_) ? loaderPath : "embedded", UINT32_MAX, 0);
  auto digest = [](PayloadReport& report, bool fromFile, const payload::Sha256& file,
                   const payload::DigestCheck& embedded) {
    report.Sha256 = payload::HexOf(fromFile ? file : embedded.Actual);
    report.Sha256Recorded = !fromFile && embedded.state == payload::DigestCheck::kMatch;
  };
  digest(firmwareReport_, payload::FirmwareFromFile(runMode_), sources_.FirmwareSha256, firmwareCheck_);
  digest(loaderReport_, payload::LoaderFromFile(runMode_), sources_.LoaderSha256, loaderCheck_);
  // The log keeps the whole digests; the screen shows their beginning.
  AppendLogLine("Firmware to send: " + PayloadText(firmwareReport_, 64));
  AppendLogLine("Loader to send: " + PayloadText(loaderReport_, 64));
  view_.PayloadsChosen(firmwareReport_, loaderReport_);
}

void UpdateController::EngineFinished() {
  if (closed_ || !engine_) return;
  if (engine_->Succeeded) {
    succeeded_ = true;
    // The last bytes are counted by no progress report of the transfer: the bar ends full.
    if (progressVisible_) SetProgressPosition(std::max(progressPosition_, progressMax_));
    SetStatus(kSuccessStatus);
  }
  if (exitWhenDone_ || options_.EndWhenEngineFinishes || !engine_->Succeeded) Close();
}

void UpdateController::Close() {
  if (closed_) return;
  closed_ = true;
  if (batch_) {
    // Every port still running stops and says so; the batch's result follows its ports' results.
    stopping_ = true;
    bool running = false;
    for (const auto& run : runs_) {
      if (!run) continue;
      running = running || run->Running();
      run->Stop("stopped");
    }
    if (running) FinishBatch();
    // The ports that ended long ago wrote their files then; a log that grew since is written again.
    for (const auto& run : runs_) {
      if (run && (run->Opened() || batchNamed_)) run->WriteLog(options_.LogDir);
    }
  }
  if (engine_) {
    // Cleared first, so that this close does not come back through EngineFinished.
    engine_->OnFinished = nullptr;
    try {
      engine_->Finish();
      engine_->ReleasePort();
    } catch (...) {
    }
    if (engine_->Succeeded) succeeded_ = true;
  }
  WriteLogFile();
  if (!detached_) view_.EndProgram(ExitCode());
}

void UpdateController::Shutdown() {
  if (shutDown_) return;
  if (!closed_) Close();
  shutDown_ = true;
  engine_.reset();
  for (auto& run : runs_) {
    if (run) run->Release();
  }
  replaced_.clear();
  // Lines logged while the engine came to a stop belong in the file as well.
  if (log_.Revision() != savedRevision_) WriteLogFile();
}

void UpdateController::WriteLogFile() {
  lastLogFile_ = app::WriteLogFile(options_.LogDir, kLogFileName, log_.FileText(), app::ProgramStart());
  if (lastLogFile_.Written) savedRevision_ = log_.Revision();
  if (!detached_) view_.LogFileDone(lastLogFile_);
}

void UpdateController::SetStatus(const std::string& text) {
  status_ = text;
  view_.StatusChanged(status_);
}

// ---- What the engine reports

void UpdateController::AppendLogLine(const std::string& text) {
  auto lines = log_.Append(text);
  if (!detached_) view_.LogLinesAdded(lines);
}

void UpdateController::ApplyStatus(const std::string& text) {
  SetStatus(text);
}

void UpdateController::SetProgressPosition(int position) {
  progressPosition_ = position;
  view_.ProgressPositionChanged(position);
}

void UpdateController::SetProgressMax(int max) {
  progressMax_ = max;
  view_.ProgressMaxChanged(max);
}

void UpdateController::SetProgressVisible(bool visible) {
  // The bar is hidden only when the whole loader has gone out: its last frame shows all of it.
  if (!visible && progressVisible_) SetProgressPosition(std::max(progressPosition_, progressMax_));
  progressVisible_ = visible;
  view_.ProgressVisibleChanged(visible);
}

void UpdateController::PortAnswering(const std::string& name, const std::string& device, int baud) {
  if (!detached_) view_.PortAnswering(name, device, baud);
}

int FinishProgram(tk::QueuedRuntime& runtime, UpdateController& controller) {
  // How long the wait for the port's monitor threads may take.
  constexpr uint32_t kThreadWaitMs = 5000;
  runtime.Shutdown();
  controller.Shutdown();
  tk::Thread::WaitForDetachedThreads(kThreadWaitMs);
  return controller.ExitCode();
}

}  // namespace app
