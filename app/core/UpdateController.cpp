#include "app/core/UpdateController.h"

#include <algorithm>
#include <cstdio>

#include "app/core/ErrorTexts.h"
#include "app/core/Texts.h"
#include "engine/Protocol.h"
#include "engine/SerialThreadDef.h"
#include "payload/Buffers.h"
#include "payload/CommandLine.h"
#include "payload/PageBuilder.h"
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
  check_ = cl.Check;
  TellCommandLine(cl);
  try {
    Decide(cl);
  } catch (const std::exception& e) {
    // Whatever the payload files or the builder could not do ends the start with its reason, never the
    // program without its log file.
    Decided("refused", kExitRefused, e.what());
    tk::App().MessageBox(e.what(), payload::kMessageCaption);
    Close();
  }
}

void UpdateController::TellCommandLine(const payload::CommandLine& cl) {
  // What the command line did not take is said, so that a mistyped option is no silent update from the
  // embedded payloads; the run goes on as the command line reads.
  for (const std::string& arg : cl.Ignored) Notify("ignored: " + arg);
  if (cl.LoaderOverridesUpdate) {
    Notify(
        "/l after /i builds UpdateLoad.exe, a copy carrying the loader, and updates nothing. To update "
        "from both files: /i b.bin b.s19; to write an updater carrying both: /u Name b.bin /l b.s19");
  }
}

void UpdateController::Notify(const std::string& text) {
  AppendLogLine(text);
  if (!detached_) view_.Notice(text);
}

void UpdateController::Decide(payload::CommandLine& cl) {
  if (!cl.TimeoutError.empty()) {
    RefuseStart(cl.TimeoutError);
    return;
  }
  timeoutSeconds_ = cl.TimeoutSeconds;
  if (check_ && payload::BuildsUpdater(runMode_)) {
    RefuseStart(
        "--check identifies an indicator and changes nothing; it does not go with /u, /l or /w, which "
        "write a copy of the program or its web page");
    return;
  }
  if (payload::BuildsUpdater(runMode_)) {
    Build(payload::EmbedsFirmware(runMode_), payload::EmbedsLoader(runMode_), cl);
    return;
  }
  // A mistyped port is told before anything else is looked at, and long before any port opens.
  if (!PortNamesValid(cl.Ports)) return;
  if (check_) {
    StartCheck(cl);
    return;
  }
  // The loader test comes first: with both buffers empty only the loader message is shown.
  if (!payload::LoaderFromFile(runMode_) && payload::LoaderBufferEmpty()) {
    Decided("refused", kExitRefused, "No LoadS19 file inside.");
    tk::App().MessageBox(kNoLoaderText, kStartMessageCaption);
    Close();
    return;
  }
  if (!payload::FirmwareFromFile(runMode_) && payload::FirmwareBufferEmpty()) {
    Decided("refused", kExitRefused, "No firmware file inside.");
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
  // A web page is built like a copy of the program, and ends the same way.
  const auto build = cl.WebPage ? &payload::BuildWebPage : &payload::BuildUpdater;
  const payload::BuildResult result = build(copyFirmware, copyLoader, cl, options_.SelfPath);
  if (!result.Ok) view_.StartRefused(result.Message);
  if (result.Ok) {
    Decided("built", kExitDone, std::string());
  } else {
    Decided("refused", kExitRefused, result.Message);
  }
  if (!result.Message.empty()) tk::App().MessageBox(result.Message, payload::kMessageCaption);
  if (result.Ok) succeeded_ = true;
  view_.BuildDone(result);
  Close();
}

void UpdateController::RefuseStart(const std::string& reason) {
  Decided("refused", kExitRefused, reason);
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
  StartEngines(cl, sizes);
}

void UpdateController::StartEngines(const payload::CommandLine& cl, payload::SizesResult& sizes) {
  const std::string& firmwarePath = cl.FirmwarePath;
  const std::string& loaderPath = cl.LoaderPath;
  firmwareSize_ = sizes.FirmwareSize;
  loaderSize_ = sizes.LoaderSize;
  AppendLogLine(std::string("Brae update version is ") + kVersionText);
  AppendLogLine("Firmware file size is " + std::to_string(firmwareSize_) + "\r\n\r\n");
  if (!check_ && !EmbeddedPayloadsIntact()) {
    Close();
    return;
  }

  // The status line reads its starting text from here on (the console prints it now).
  view_.StatusChanged(status_);
  if (check_) {
    AppendLogLine(checkFirmware_ ? "Checking, changing nothing: does the firmware (" +
                                       (payload::FirmwareFromFile(runMode_) ? firmwarePath : "embedded") +
                                       ", " + std::to_string(firmwareSize_) + " bytes) fit the indicator?"
                                 : "Checking, changing nothing: no firmware given, the fit is not checked");
  } else {
    sources_ = ChoosePayloadSources(runMode_, static_cast<uint32_t>(loaderSize_),
                                    std::move(sizes.FirmwareFile), std::move(sizes.LoaderFile));
    ReportPayloads(firmwarePath, loaderPath);
  }
  if (cl.All) {
    StartBatch(cl);
    return;
  }
  engine_ = std::make_unique<engine::TSerialThread>(this, &relay_);
  engine_->LoaderSource = sources_.Loader.get();
  engine_->FirmwareSource = sources_.Firmware.get();
  engine_->SetPortNames(cl.Ports);
  if (check_) engine_->SetCheckOnly(checkFirmware_);
  StartBound(timeoutSeconds_);
  engine_->Start(cl.BootFlag ? 1 : 0);
  // The first step may process window messages: a close during it has already stopped the engine, and the
  // callback must then stay unset.
  if (closed_) return;
  engine_->OnFinished = [this](engine::TSerialThread*) { EngineFinished(); };
  engine_->FirmwareSize = static_cast<uint32_t>(firmwareSize_);
  engine_->LoaderSize = static_cast<uint32_t>(loaderSize_);
  // A check can end in its first step (no port opens): its end comes now that it can be heard.
  if (engine_->Terminated()) EngineFinished();
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
      const std::string text = payload::DigestRefusal(*result, kind, options_.Carrier);
      AppendLogLine(text);
      refusal += (refusal.empty() ? "" : "\r\n\r\n") + text;
    }
  };
  check(payload::FirmwareFromFile(runMode_), &payload::CheckEmbeddedFirmware, &firmwareCheck_, "firmware",
        "Firmware");
  check(payload::LoaderFromFile(runMode_), &payload::CheckEmbeddedLoader, &loaderCheck_, "loader", "Loader");
  if (refusal.empty()) return true;
  Decided("refused", kExitRefused, refusal);
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
  if (check_) {
    const engine::CheckVerdict verdict = engine_->CheckResult().Verdict;
    if (verdict == engine::CheckVerdict::NoIndicator) {
      Decided("no_indicator", kExitNoIndicator, engine_->CheckResult().Reason);
    } else {
      Decided("checked", engine::RefusesFirmware(verdict) ? kExitFirmwareRefused : kExitDone,
              engine::VerdictText(verdict));
    }
    result_.Verdict = engine::VerdictName(verdict);
    const engine::CheckReport& r = engine_->CheckResult();
    SetStatus(verdict == engine::CheckVerdict::NoIndicator
                  ? "Check: " + engine::VerdictText(verdict)
                  : "Checked " + r.Port + ": " + engine::VerdictText(verdict));
    if (exitWhenDone_ || options_.EndWhenEngineFinishes) {
      Close();
    } else {
      // The window stays with the verdict; its answers in full, as the console prints them.
      std::string text = result_.Reason + (r.Answers.empty() ? "" : "\r\n\r\n");
      for (const engine::CheckAnswer& a : r.Answers) text += a.Command + " [" + a.Answer + "]\r\n";
      tk::App().MessageBox(text, payload::kMessageCaption);
    }
    return;
  }
  if (engine_->Succeeded) {
    Decided("updated", kExitDone, std::string());
    succeeded_ = true;
    // The last bytes are counted by no progress report of the transfer: the bar ends full.
    if (progressVisible_) SetProgressPosition(std::max(progressPosition_, progressMax_));
    SetStatus(kSuccessStatus);
  }
  if (!engine_->Succeeded) {
    // The engine ends by itself only on the indicator's refusal (its memory), or on a payload it could not
    // read.
    const bool refused = message_ == engine::kNoSpaceText || message_ == engine::kHeapText;
    Decided(refused ? "firmware_refused" : "failed", refused ? kExitFirmwareRefused : kExitFailed,
            message_.empty() ? "the update ended without the indicator's confirmation" : message_);
  }
  if (exitWhenDone_ || options_.EndWhenEngineFinishes || !engine_->Succeeded) Close();
}

void UpdateController::Close() {
  if (closed_) return;
  DecideStopped();
  closed_ = true;
  bound_.Stop();
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
  // How it ended comes before where its log went.
  if (!detached_) view_.RunEnded(result_);
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
  if (position > progressPosition_) Progressed();
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
  answered_ = true;
  Progressed();
  if (!detached_) view_.PortAnswering(name, device, baud);
}

bool UpdateController::ShowMessage(const std::string& text) {
  // Still the modal message box; the run's result says it too.
  message_ = text;
  return false;
}

void UpdateController::CheckDone(const engine::CheckReport& report) {
  checkReport_ = report;
  if (!detached_) view_.CheckDone(report);
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
