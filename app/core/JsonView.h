// The console for programs (BRAE_CONSOLE=json): one JSON object per line on the output, each with "v": 1,
// and the human text on the error stream. The last line is always the result, however the program ends.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/core/Json.h"
#include "app/core/PortRun.h"
#include "app/core/UpdateController.h"
#include "engine/Reporting.h"

namespace app {

class ConsoleView;

class JsonView : public IView, public engine::IErrorDialog {
 public:
  struct Options {
    FILE* Out = stdout;
    // Where each line goes instead of Out (the page hands it to its script), without its line end.
    std::function<void(const std::string& line)> Line;
    // Every diagnostic log line as a "log" event.
    bool Log = false;
    // Milliseconds of a monotonic clock (rate, time left, spacing of progress events); the process clock
    // when unset.
    std::function<uint64_t()> Clock;
    // The device a port name stands for; the port events carry null without it.
    std::function<std::string(const std::string&)> Device;
    // The human presentation (on the error stream), told everything as well; may be null.
    ConsoleView* Human = nullptr;
    // Ends the message loop with the exit code.
    std::function<void(int)> OnEnd;
    // A port's row of a batch: every event carries it as "port".
    std::string Port = {};
  };

  explicit JsonView(Options options);
  ~JsonView() override;

  void MessageBox(const std::string& text, const std::string& caption);

  // IView
  void StatusChanged(const std::string& text) override;
  void LogLinesAdded(const std::vector<std::string>& lines) override;
  void ProgressPositionChanged(int position) override;
  void ProgressMaxChanged(int max) override;
  void ProgressVisibleChanged(bool visible) override;
  void BuildDone(const payload::BuildResult& result) override;
  void LogFileDone(const LogFileResult& result) override;
  void PayloadsChosen(const PayloadReport& firmware, const PayloadReport& loader) override;
  void StartRefused(const std::string& reason) override;
  void PortAnswering(const std::string& name, const std::string& device, int baud) override;
  void EndProgram(int exitCode) override;
  IPortView* PortAdded(size_t index, const std::string& name) override;
  void BatchEnded(const BatchResult& result) override;
  void Notice(const std::string& text) override;
  void CheckDone(const engine::CheckReport& report) override;
  void RunEnded(const RunResult& result) override;

  // A check's report as the fields of its event; `device`: the path or URL the port name stands for.
  static JsonObject CheckObject(const engine::CheckReport& report, const std::string& device);

  // engine::IErrorDialog
  void ShowErrorMessage(uint32_t code) override;
  void ShowErrorDetail(const std::string& detail) override;
  void Hide() override;

 private:
  void Emit(const std::string& event, JsonObject fields);
  // A port's own last line: its result.
  void EmitPortResult(const PortResult& result);
  void EmitBatch(int exitCode);
  // The last line's log file and payloads, of a single update and of a batch alike.
  void AddClosingFields(JsonObject& o) const;
  void Progress(bool force);
  uint64_t Now() const;

  Options o_;
  bool ended_ = false;
  std::string status_;

  // Progress of the current transfer.
  bool visible_ = false;
  bool firmwarePhase_ = false;
  int position_ = 0;
  int max_ = 0;
  bool waiting_ = false;  // no event of this transfer yet
  int lastBytes_ = -1;
  uint64_t lastEventMs_ = 0;
  uint64_t startMs_ = 0;
  int startPosition_ = 0;

  std::string logFile_;
  std::string refusal_;  // why the start was refused, or empty
  bool haveFirmware_ = false;
  PayloadReport firmware_;
  PayloadReport loader_;

  class Row;
  std::vector<std::unique_ptr<Row>> rows_;
  bool batch_ = false;
  BatchResult batchResult_;
  bool haveResult_ = false;
  RunResult result_;
  uint32_t errorCode_ = 0;
};

}  // namespace app
