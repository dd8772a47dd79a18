// What the console says beyond the window's texts: where the indicator answered, the check's reports, the
// notes about the command line and how the run ended.
#include "app/core/ConsoleView.h"

namespace app {

std::string ConsoleView::PortAndDevice(const std::string& name, const std::string& device) {
  return device.empty() || device == name ? name : name + " (" + device + ")";
}

std::string ConsoleView::CheckText(const engine::CheckReport& report, const std::string& device) {
  std::string text = "Check: " + PortAndDevice(report.Port, device);
  if (report.Baud) text += " at " + std::to_string(report.Baud) + " baud";
  text += ": " + engine::VerdictText(report.Verdict);
  if (!report.Reason.empty()) text += " (" + report.Reason + ")";
  for (const engine::CheckAnswer& a : report.Answers) text += "\n  " + a.Command + " [" + a.Answer + "]";
  return text;
}

void ConsoleView::PortAnswering(const std::string& name, const std::string& device, int baud) {
  const std::string path = o_.Device ? o_.Device(device) : std::string();
  Line("Indicator on " + PortAndDevice(name, path) + " at " + std::to_string(baud) + " baud");
}

void ConsoleView::Notice(const std::string& text) {
  Line(text);
}

void ConsoleView::CheckDone(const engine::CheckReport& report) {
  Line(CheckText(report, o_.Device ? o_.Device(report.Device) : std::string()));
}

void ConsoleView::ShowErrorDetail(const std::string& detail) {
  Line(detail);
}

void ConsoleView::RunEnded(const RunResult& result) {
  // A single run's end in words; a batch has said its own.
  if (!rows_.empty()) return;
  if (result.Outcome == "timed_out" || result.Outcome == "no_indicator" || result.Outcome == "stopped" ||
      result.Outcome == "firmware_refused") {
    Line("Ended (" + result.Outcome + ", exit code " + std::to_string(result.ExitCode) +
         "): " + result.Reason);
  }
}

}  // namespace app
