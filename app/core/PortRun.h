// One port of a batch (/all): its own engine, diagnostic log, status line, progress, error and result, shown
// through that port's row of the presentation and kept in its own log file. All ports share the one UI
// thread and the payloads read once at the start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/core/DiagnosticLog.h"
#include "app/core/LogFile.h"
#include "app/core/ProgressBound.h"
#include "engine/Payloads.h"
#include "engine/Reporting.h"

namespace engine {
class TSerialThread;
}

namespace app {

enum class PortOutcome { Running, Updated, Failed, NoIndicator, Skipped, Checked };
// "running", "updated", "failed", "no_indicator", "skipped", "checked": the names the JSON output uses.
const char* OutcomeName(PortOutcome outcome);

struct PortResult {
  std::string Port = {};    // as given, or "Com3" in the default list
  std::string Device = {};  // the device the name stands for (a path, a URL); empty when unknown
  PortOutcome Outcome = PortOutcome::Running;
  uint32_t ErrorCode = 0;    // the error last shown for this port; 0: none
  std::string Status = {};   // its last status line
  std::string Reason = {};   // why it was skipped, found no indicator or failed; empty when updated
  int Baud = 0;              // the rate the indicator last answered at; 0: it never did
  double Seconds = 0;        // from the port's start to its end
  std::string LogFile = {};  // its log file once written
  bool Refused = false;      // the indicator refused the firmware (its memory, or error 4 when it stopped)
  engine::CheckReport Check = {};  // a check's report (Outcome Checked; answers also for a Bluetooth port)
};

struct BatchResult {
  std::vector<PortResult> Ports = {};
  // At least one indicator was updated, and every port that opened was updated: a port without an
  // indicator counts against the batch, one that did not open (or a Bluetooth link) does not. A check:
  // at least one indicator checked, and every one fits.
  bool Ok = false;
  double Seconds = 0;
  int ExitCode = 1;  // as ExitCodes (UpdateController.h) tells it
};

// True when the batch counts as done well (BatchResult::Ok).
bool BatchOk(const std::vector<PortResult>& ports);
// The batch's exit code: 0 ok, 3 no indicator answered on any port, 4 every indicator checked or updated
// refused the firmware, 1 otherwise.
int BatchExitCode(const std::vector<PortResult>& ports);

// What one row of a batch shows. Every call comes on the UI thread.
class IPortView {
 public:
  virtual ~IPortView() = default;
  virtual void StatusChanged(const std::string& /*text*/) {}
  virtual void LogLinesAdded(const std::vector<std::string>& /*lines*/) {}
  virtual void ProgressPositionChanged(int /*position*/) {}
  virtual void ProgressMaxChanged(int /*max*/) {}
  virtual void ProgressVisibleChanged(bool /*visible*/) {}
  virtual void PortAnswering(const std::string& /*name*/, const std::string& /*device*/, int /*baud*/) {}
  // The port's error dialog shows `code`; 0 when it went away.
  virtual void ErrorChanged(uint32_t /*code*/) {}
  // A message that ended the port's update (no space, an unreadable payload).
  virtual void MessageShown(const std::string& /*text*/) {}
  // The identify-only check's report on this port.
  virtual void CheckDone(const engine::CheckReport& /*report*/) {}
  // The port is done; its log file is written by then.
  virtual void Ended(const PortResult& /*result*/) {}
};

// "VeltronaUpdateBraeError.Com3.TXT": the usual log file name with the port's name in it. A device path
// counts by its last part, and every character that is not a letter, digit, '-' or '_' becomes '_', so the
// name stays inside the log folder on every system.
std::string PortLogFileName(const std::string& port);

class PortRun : public engine::IReporter, public engine::IErrorDialog {
 public:
  // The payloads as one batch shares them: read-only bytes that outlive every run.
  struct Payloads {
    const uint8_t* Firmware = nullptr;
    size_t FirmwareBytes = 0;
    const uint8_t* Loader = nullptr;
    size_t LoaderBytes = 0;
    int LoaderPiece = 64;  // bytes a read of the loader gives at most
    uint32_t FirmwareSize = 0;
    uint32_t LoaderSize = 0;
    // The identify-only check, and whether it has a firmware to check the fit of.
    bool Check = false;
    bool CheckFirmware = false;
    // --timeout: seconds without progress after which the port stops; 0: none.
    int TimeoutSeconds = 0;
  };

  // `startLines`: the diagnostic log's lines so far (version, sizes, payloads), which every port's log
  // begins with. `onEnded` is called once when the port is done, whether by itself or by Stop; it calls
  // TellEnded.
  PortRun(std::string name, IPortView* view, const std::vector<std::string>& startLines,
          std::function<void(PortRun&)> onEnded);
  ~PortRun() override;
  PortRun(const PortRun&) = delete;
  PortRun& operator=(const PortRun&) = delete;

  // Starts the port's engine (its first step runs at once).
  void Start(const Payloads& payloads, bool bootFlag);
  // Ends a port still running: one whose indicator has answered fails, one still searching found none.
  void Stop(const std::string& reason);
  // Tells the port's row that it is done (by the owner's `onEnded`, once the log file is written).
  void TellEnded();
  // Writes the port's log file into `dir` (again, when it grew since). Never throws.
  const LogFileResult& WriteLog(const std::string& dir);
  // The engine's thread and port go; the result stays.
  void Release();

  const std::string& Name() const { return result_.Port; }
  const PortResult& Result() const { return result_; }
  bool Running() const { return result_.Outcome == PortOutcome::Running; }
  // Whether the port ever opened: a port of the default list that never did leaves no log file.
  bool Opened() const { return opened_; }
  const DiagnosticLog& Log() const { return log_; }
  int ProgressPosition() const { return position_; }
  int ProgressMax() const { return max_; }
  bool ProgressVisible() const { return visible_; }

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
  // engine::IErrorDialog
  void ShowErrorMessage(uint32_t code) override;
  void Hide() override;

 private:
  void EngineFinished();
  void End(PortOutcome outcome, const std::string& reason);
  void BoundTimerFired();

  IPortView* view_;
  std::function<void(PortRun&)> onEnded_;
  DiagnosticLog log_;
  PortResult result_;
  std::unique_ptr<engine::IPayloadSource> firmware_;
  std::unique_ptr<engine::IPayloadSource> loader_;
  std::unique_ptr<engine::TSerialThread> engine_;
  int position_ = 0;
  int max_ = 100;
  bool visible_ = false;
  bool opened_ = false;
  std::string message_;
  int64_t startUs_ = 0;
  LogFileResult logFile_;
  uint64_t savedRevision_ = 0;
  int timeoutSeconds_ = 0;
  ProgressBound bound_;
};

}  // namespace app
