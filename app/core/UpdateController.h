// Every decision of the updater's main window, shared by the window and the console presentation: the start
// decision from the command line and the embedded payloads, the hand-over to the update engine, what the
// engine's reports do, how the end of the engine and every close are handled, the error log file and the
// exit code. A presentation only shows what it is told (IView) and forwards the user's actions.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/core/DiagnosticLog.h"
#include "app/core/LogFile.h"
#include "app/core/PayloadSources.h"
#include "app/core/PortRun.h"
#include "app/core/ProgressBound.h"
#include "engine/Reporting.h"
#include "payload/Builder.h"
#include "payload/CommandLine.h"
#include "payload/Digest.h"
#include "payload/PayloadSizes.h"

namespace engine {
class TSerialThread;
}
namespace tk {
class QueuedRuntime;
}  // namespace tk

namespace app {

// Which payload an update sends, so that a technician can tell two copies apart and compare them with the
// release notes: "embedded" or the file's path, the bytes sent, their CRC-16 (for the firmware the one the
// indicator checks), and the SHA-256 of the payload itself.
struct PayloadReport {
  std::string Source;
  uint32_t Size = 0;
  uint16_t Crc16 = 0;
  bool Readable = true;  // false: the source failed while it was measured; size and CRC are what was read
  // 64 hex digits: of a file's bytes as read, of an embedded payload as its build recorded it (or, in a copy
  // that carries no record, up to its last byte that is not 0xFF). Empty when unknown.
  std::string Sha256 = {};
  bool Sha256Recorded = false;  // an embedded payload that matched the digest its build recorded
};

// The bytes a payload source delivers, at most `limit`, padded with 0xFF up to `padTo` as the transfer pads
// the firmware; the source is left rewound.
PayloadReport MeasurePayload(engine::IPayloadSource& source, std::string name, uint32_t limit,
                             uint32_t padTo);
// "embedded, 60002 bytes, CRC-16 0x1A2B, SHA-256 0123456789abcdef": the digest's first `digits` hex digits;
// an embedded payload without a recorded digest says so.
std::string PayloadText(const PayloadReport& report, size_t digits = 16);

// How a run ended, as the exit code and the JSON result tell it.
struct RunResult {
  // "updated", "built", "checked", "refused" (the start: nothing was tried), "firmware_refused" (by the
  // indicator), "no_indicator", "timed_out", "failed", "stopped" (Exit, Quit, a signal).
  std::string Outcome = "failed";
  std::string Reason = {};
  bool Interrupted = false;  // a signal or the technician's Exit ended it
  int ExitCode = 1;
  // A check's verdict name ("fits", ...); empty for an update.
  std::string Verdict = {};
};

// The exit codes, as --help tells them.
enum ExitCodes : int {
  kExitDone = 0,             // updated, built, or checked and fits
  kExitFailed = 1,           // the update failed or was stopped
  kExitRefused = 2,          // nothing was tried: the command line or a payload was refused
  kExitNoIndicator = 3,      // no indicator answered (within --timeout, or in a check's round)
  kExitFirmwareRefused = 4,  // the indicator refused the firmware
};

class IView {
 public:
  virtual ~IView() = default;
  virtual void TitleChanged(const std::string& /*title*/) {}
  virtual void DebugButtonShown() {}
  virtual void FocusExit() {}
  virtual void LogLinesAdded(const std::vector<std::string>& /*lines*/) {}
  virtual void StatusChanged(const std::string& /*text*/) {}
  virtual void ProgressPositionChanged(int /*position*/) {}
  virtual void ProgressMaxChanged(int /*max*/) {}
  virtual void ProgressVisibleChanged(bool /*visible*/) {}
  virtual void BuildDone(const payload::BuildResult& /*result*/) {}
  virtual void LogFileDone(const LogFileResult& /*result*/) {}
  // The start is refused before any port opens (a payload that can not be right, a file that can not be
  // read, a mistyped port): the reason, as its message box shows it.
  virtual void StartRefused(const std::string& /*reason*/) {}
  // The payloads the update is about to send.
  virtual void PayloadsChosen(const PayloadReport& /*firmware*/, const PayloadReport& /*loader*/) {}
  // The indicator answers on this port at this rate (engine::IReporter::PortAnswering).
  virtual void PortAnswering(const std::string& /*name*/, const std::string& /*device*/, int /*baud*/) {}
  // A batch (/all) takes this port, its row `index` (from 0): the row's view, or null for none. A port
  // scanned again comes with its row's index again.
  virtual IPortView* PortAdded(size_t /*index*/, const std::string& /*name*/) { return nullptr; }
  // Every port of the batch is done (again, after a new scan), or the program closes: each port's result.
  virtual void BatchEnded(const BatchResult& /*result*/) {}
  // A line for the technician about the command line or the run's end (an ignored argument, an indicator
  // left in its boot loader); it is in the log as well.
  virtual void Notice(const std::string& /*text*/) {}
  // The identify-only check's report on a port (engine::IReporter::CheckDone).
  virtual void CheckDone(const engine::CheckReport& /*report*/) {}
  // How the run ended; comes before EndProgram.
  virtual void RunEnded(const RunResult& /*result*/) {}
  // The main window has closed: the presentation ends its message loop with this exit code.
  virtual void EndProgram(int exitCode) = 0;
};

class UpdateController : public engine::IReporter {
 public:
  struct Options {
    // Where the error log file goes; empty: no place, the file is not written.
    std::string LogDir;
    // The executable the builder copies.
    std::string SelfPath = payload::SelfExecutablePath();
    // The console ends when the engine finishes, as "/x" does.
    bool EndWhenEngineFinishes = false;
    // What carries the embedded payloads, as a damaged copy's refusal names it: "program" or "page".
    std::string Carrier = "program";
  };

  UpdateController(IView& view, Options options);
  ~UpdateController() override;
  UpdateController(const UpdateController&) = delete;
  UpdateController& operator=(const UpdateController&) = delete;

  // The error dialog the engine reports problems to; set before FormShow.
  void SetErrorDialog(engine::IErrorDialog* dialog) { errorDialog_ = dialog; }

  // The window's first showing: the whole start decision. args[0] is the program's path.
  void FormShow(const std::vector<std::string>& args);
  // Every close, whatever started it (Exit, Quit, the close box, a signal, the start decision, the engine's
  // end): stops the engine, writes the error log file and ends the program. Later calls do nothing.
  void Close();
  // Called by the engine when it finishes (its OnFinished).
  void EngineFinished();
  // Program end, after the message loop: stops and destroys the engine (its thread, its port), closes the
  // payload files, and writes the log file again if it grew since the close.
  void Shutdown();

  // A batch: starts the ports whose last round found no indicator or did not open, each anew in its row.
  // False when there is no batch or a port of it is still running.
  bool ScanAgain();
  bool Batch() const { return batch_; }
  const std::vector<std::unique_ptr<PortRun>>& Ports() const { return runs_; }

  // kExitDone when the indicator confirmed the update, a build wrote its file, a check found every indicator
  // fit, or a batch is ok (BatchResult::Ok); else the ExitCodes value that says why not.
  int ExitCode() const { return result_.ExitCode; }
  const RunResult& Result() const { return result_; }
  bool Closed() const { return closed_; }

  // What the window shows.
  const std::string& Title() const { return title_; }
  bool DebugButtonVisible() const { return debugButtonVisible_; }
  const DiagnosticLog& Log() const { return log_; }
  const std::string& Status() const { return status_; }
  int ProgressPosition() const { return progressPosition_; }
  int ProgressMax() const { return progressMax_; }
  bool ProgressVisible() const { return progressVisible_; }
  const LogFileResult& LastLogFile() const { return lastLogFile_; }

  // The start's results.
  payload::RunMode RunMode() const { return runMode_; }
  bool ExitWhenDone() const { return exitWhenDone_; }
  int32_t FirmwareSize() const { return firmwareSize_; }
  int32_t LoaderSize() const { return loaderSize_; }
  const PayloadReport& FirmwareReport() const { return firmwareReport_; }
  const PayloadReport& LoaderReport() const { return loaderReport_; }
  engine::TSerialThread* Engine() const { return engine_.get(); }

  // engine::IReporter
  void AppendLogLine(const std::string& text) override;
  void ApplyStatus(const std::string& text) override;
  void SetProgressPosition(int position) override;
  void SetProgressMax(int max) override;
  void SetProgressVisible(bool visible) override;
  void PortAnswering(const std::string& name, const std::string& device, int baud) override;
  bool ShowMessage(const std::string& text) override;
  void Progressed() override;
  void CheckDone(const engine::CheckReport& report) override;

 private:
  // Between the engine and the presentation's error dialog: what shows is known when the run ends.
  class ErrorRelay : public engine::IErrorDialog {
   public:
    explicit ErrorRelay(UpdateController& owner) : owner_(owner) {}
    void ShowErrorMessage(uint32_t code) override;
    void ShowErrorDetail(const std::string& detail) override;
    void Hide() override;

   private:
    UpdateController& owner_;
  };

  // The run's end is decided: the outcome, its exit code and why (the first decision holds).
  void Decided(const std::string& outcome, int exitCode, const std::string& reason);
  // How to finish an update left in the boot loader, in the words of what carries the program.
  const char* BootLoaderNote() const;
  // An end that nothing decided: Exit, Quit, a signal.
  void DecideStopped();
  void StartBound(int seconds);
  void BoundTimerFired();
  // The error dialog's state in words: its code's first line and the detail.
  std::string ErrorReason() const;
  // Tells `text` to the presentation and the log.
  void Notify(const std::string& text);
  void TellCommandLine(const payload::CommandLine& cl);
  void StartCheck(const payload::CommandLine& cl);
  void Decide(payload::CommandLine& cl);
  // False, with the reason shown and the program closing, when a port name given by /p is no port name.
  bool PortNamesValid(const std::vector<std::string>& ports);
  void StartUpdate(const payload::CommandLine& cl);
  // The update's (or the check's) engines, once the payloads are known.
  void StartEngines(const payload::CommandLine& cl, payload::SizesResult& sizes);
  // Ends the start with `reason`: in the log, to the presentation and in its message box; the program closes.
  void RefuseStart(const std::string& reason);
  void StartBatch(const payload::CommandLine& cl);
  void StartPort(size_t index, const std::string& name);
  void PortEnded(PortRun& run);
  // The batch's result as it stands; tells the presentation, and ends the program when it is to end.
  BatchResult FinishBatch();
  void Build(bool copyFirmware, bool copyLoader, payload::CommandLine& cl);
  void SetStatus(const std::string& text);
  bool EmbeddedPayloadsIntact();
  void ReportPayloads(const std::string& firmwarePath, const std::string& loaderPath);
  void WriteLogFile();

  IView& view_;
  Options options_;
  engine::IErrorDialog* errorDialog_ = nullptr;

  DiagnosticLog log_;
  std::string title_;
  std::string status_;
  bool debugButtonVisible_ = false;
  int progressPosition_ = 0;
  int progressMax_ = 100;
  bool progressVisible_ = false;

  payload::RunMode runMode_ = payload::RunMode::Embedded;
  bool exitWhenDone_ = false;
  int32_t firmwareSize_ = 0;
  int32_t loaderSize_ = 0;
  PayloadSources sources_;  // what the engine reads the payloads from
  PayloadReport firmwareReport_;
  PayloadReport loaderReport_;
  payload::DigestCheck firmwareCheck_;  // of the embedded payloads the update sends
  payload::DigestCheck loaderCheck_;
  std::unique_ptr<engine::TSerialThread> engine_;
  ErrorRelay relay_{*this};
  uint32_t errorCode_ = 0;  // the code the error dialog shows; 0 when hidden
  std::string errorDetail_;
  std::string message_;  // the last message the engine ended with
  bool check_ = false;
  bool checkFirmware_ = false;
  engine::CheckReport checkReport_;
  bool answered_ = false;  // an indicator has answered in this run
  // --timeout: the bound on a run without progress, and its timer.
  int timeoutSeconds_ = 0;
  ProgressBound bound_;
  bool decided_ = false;
  RunResult result_;

  // Batch mode: one run per port, in the rows' order; runs replaced by a new scan wait for the end.
  bool batch_ = false;
  bool bootFlag_ = false;
  bool batchNamed_ = false;  // the ports were named (/p): each keeps a log file, even one that never opened
  std::vector<std::unique_ptr<PortRun>> runs_;
  std::vector<std::unique_ptr<PortRun>> replaced_;
  PortRun::Payloads shared_;
  int64_t batchStartUs_ = 0;
  bool stopping_ = false;  // Close stops the ports: their ends do not end the batch one by one

  bool shown_ = false;
  bool closed_ = false;
  bool succeeded_ = false;
  bool shutDown_ = false;
  bool detached_ = false;
  LogFileResult lastLogFile_;
  uint64_t savedRevision_ = 0;
};

// Program end, the same for every presentation, after its message loop: releases workers waiting for the UI
// thread, stops and destroys the engine (its thread, its port), closes the payload files and lets the
// monitor threads end. Returns the program's exit code.
int FinishProgram(tk::QueuedRuntime& runtime, UpdateController& controller);

}  // namespace app
