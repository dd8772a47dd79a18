// The console presentation of the main window and the error dialog, for machines without a display and for
// scripts: status changes, a progress bar (or plain progress lines when the output is no terminal), message
// boxes and error-dialog texts on the output; the diagnostic log live on the error stream when asked for.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/core/PortRun.h"
#include "app/core/UpdateController.h"
#include "engine/Reporting.h"

namespace app {

class ConsoleView : public IView, public engine::IErrorDialog {
 public:
  struct Options {
    FILE* Out = stdout;
    FILE* Err = stderr;
    // The output is a terminal: one progress bar redrawn in place.
    bool Terminal = false;
    // Every diagnostic log line on Err as it comes.
    bool LiveLog = false;
    // Milliseconds of a monotonic clock (rate and time left); the process clock when unset.
    std::function<uint64_t()> Clock;
    // Ends the message loop with the exit code.
    std::function<void(int)> OnEnd;
    // The device a port name stands for ("/dev/ttyUSB0" for "Com3"); none named without it.
    std::function<std::string(const std::string&)> Device = {};
    // A port's row of a batch: every line it prints starts with this ("Com3: ").
    std::string Prefix = {};
    // A row: its lines go here instead of Out, and on a terminal its bar's text (empty: no bar).
    std::function<void(const std::string&)> Print = {};
    std::function<void(const std::string&)> Bar = {};
    // The terminal's width in columns, asked at each drawing of a bar (a window may be resized); unset or
    // 0: unknown, the bar as wide as at 80 columns.
    std::function<int()> Columns = {};
  };

  explicit ConsoleView(Options options);
  ~ConsoleView() override;

  // What a modal message box shows; the caller then goes on as if OK was pressed.
  void MessageBox(const std::string& text, const std::string& caption);

  // IView
  void StatusChanged(const std::string& text) override;
  void LogLinesAdded(const std::vector<std::string>& lines) override;
  void ProgressPositionChanged(int position) override;
  void ProgressMaxChanged(int max) override;
  void ProgressVisibleChanged(bool visible) override;
  void BuildDone(const payload::BuildResult& result) override;
  void PayloadsChosen(const PayloadReport& firmware, const PayloadReport& loader) override;
  void LogFileDone(const LogFileResult& result) override;
  void EndProgram(int exitCode) override;
  void PortAnswering(const std::string& name, const std::string& device, int baud) override;
  void Notice(const std::string& text) override;
  void CheckDone(const engine::CheckReport& report) override;
  void RunEnded(const RunResult& result) override;

  IPortView* PortAdded(size_t index, const std::string& name) override;
  void BatchEnded(const BatchResult& result) override;

  // engine::IErrorDialog
  void ShowErrorMessage(uint32_t code) override;
  void ShowErrorDetail(const std::string& detail) override;
  void Hide() override {}

  // "12.3 kB/s" style rate and "m:ss" time; shared with the tests.
  static std::string FormatRate(double bytesPerSecond);
  static std::string FormatDuration(double seconds);
  // One progress text: percent, bytes, and rate and time left when known (rate <= 0: unknown).
  static std::string ProgressText(int position, int max, double bytesPerSecond);
  // What a port's result says in one line: "updated in 1:23", "failed: reason (error 2)".
  static std::string ResultText(const PortResult& result);
  // "Com3 (/dev/ttyUSB0)": the port, and the device behind it where that says more.
  static std::string PortAndDevice(const std::string& name, const std::string& device);
  // A check's report as a block: where, the verdict, then each answer on a line of its own.
  static std::string CheckText(const engine::CheckReport& report, const std::string& device);
  // Port names, those that run in sequence in one: "Com1, Com4-Com25, /dev/ttyUSB0".
  static std::string CompactNames(const std::vector<std::string>& names);
  // A port of the batch that never opened (not one left out as a Bluetooth link), and why in the system's
  // words (": No such file or directory", or empty).
  static bool NeverOpened(const PortResult& result);
  static std::string WhyNotOpened(const PortResult& result);

 private:
  void Line(const std::string& text);
  // The ports that never opened since the last line, in one line: "Com4-Com25 did not open: why".
  void SayNotOpened();
  // The rows' bars stand below everything else on a terminal: cleared before a line, drawn again after it.
  void ClearBoard();
  void DrawBoard();
  void SetBar(size_t index, const std::string& text);
  void EndBar();
  void Restart();
  void Draw(bool force);
  uint64_t Now() const;
  int Percent() const;

  Options o_;
  std::string status_;
  int position_ = 0;
  int max_ = 100;
  bool visible_ = false;
  bool barOnScreen_ = false;
  bool waiting_ = false;     // shown, but no byte of its transfer counted yet
  int lastTenth_ = -1;       // plain lines: the last 10 % step printed
  uint64_t lastDrawMs_ = 0;  // terminal: redraws at most every 100 ms
  uint64_t startMs_ = 0;     // where the rate is measured from
  int startPosition_ = 0;
  bool logFileShown_ = false;

  class Row;
  std::vector<std::unique_ptr<Row>> rows_;
  std::vector<PortResult> notOpened_;  // ports that never opened, not yet said
  std::vector<std::string> bars_;      // a row's bar text, by index; empty: none
  int boardLines_ = 0;                 // lines of bars on the screen now
  uint64_t lastBoardMs_ = 0;
};

}  // namespace app
