// What one row of the batch window says, the same in the Qt window and the native one: the result, the error
// code with its checklist in one line, the full error text, and the rate and time left of the transfer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/core/ConsoleView.h"
#include "app/core/ErrorTexts.h"
#include "app/core/PortRun.h"

namespace app {

// "Updated", "Failed: why", "No indicator: why", "Skipped: why"; empty while the port runs.
inline std::string RowResultText(const PortResult& result) {
  std::string text;
  switch (result.Outcome) {
    case PortOutcome::Running:
      return text;
    case PortOutcome::Updated:
      return "Updated";
    case PortOutcome::Failed:
      text = "Failed";
      break;
    case PortOutcome::NoIndicator:
      text = "No indicator";
      break;
    case PortOutcome::Skipped:
      text = "Skipped";
      break;
    case PortOutcome::Checked:
      text = "Checked";
      break;
  }
  return result.Reason.empty() ? text : text + ": " + result.Reason;
}

struct RowErrorText {
  std::string
      Headline;  // "Error 1: Could not establish communications with the indicator. Please check that:"
  std::string
      Checklist;     // the lines after it in one: "The Tarn/Brae indicator is turned on ...; The serial ..."
  std::string Full;  // every line, "\n" between them, as the error dialog shows them
};

// A code without a text still shows its number; 0 shows nothing.
inline RowErrorText RowError(uint32_t code) {
  RowErrorText t;
  if (code == 0) return t;
  const std::vector<std::string> lines = ErrorTextFor(code).Lines;
  t.Headline = "Error " + std::to_string(code);
  size_t i = 0;
  while (i < lines.size() && lines[i].empty()) ++i;
  if (i < lines.size()) t.Headline += ": " + lines[i++];
  // A checklist item begins with "- " or stands alone; a line indented further goes on the item before it.
  std::vector<std::string> items;
  for (; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos) continue;
    const bool dash = line.compare(start, 2, "- ") == 0;
    const std::string text = line.substr(dash ? start + 2 : start);
    if (!dash && start >= 3 && !items.empty()) {
      items.back() += " " + text;
    } else {
      items.push_back(text);
    }
  }
  for (size_t k = 0; k < items.size(); ++k) t.Checklist += (k ? "; " : "") + items[k];
  for (size_t k = 0; k < lines.size(); ++k) t.Full += (k ? "\n" : "") + lines[k];
  if (t.Full.empty()) t.Full = t.Headline;
  return t;
}

// The rate of one transfer and the time it has left, measured from the first count after its start (a new
// range, the bar shown again, or a count that goes back: a retry). Known after a second, as on the console.
class RowRate {
 public:
  explicit RowRate(std::function<uint64_t()> clockMs) : clock_(std::move(clockMs)) {}

  void Restart(int position) {
    startMs_ = clock_();
    startPosition_ = position;
  }
  // "4.7 kB/s  0:09 left"; empty while unknown, no time left once the transfer is whole.
  std::string Text(int position, int max) const {
    const uint64_t now = clock_();
    if (now < startMs_ + 1000 || position <= startPosition_) return std::string();
    const double rate = (position - startPosition_) * 1000.0 / static_cast<double>(now - startMs_);
    std::string text = ConsoleView::FormatRate(rate);
    if (position < max) text += "  " + ConsoleView::FormatDuration((max - position) / rate) + " left";
    return text;
  }

 private:
  std::function<uint64_t()> clock_;
  uint64_t startMs_ = 0;
  int startPosition_ = 0;
};

}  // namespace app
