// What the windows say of their own, the same in the Qt window and the native one: the main window's line
// that it goes on looking, and of a batch the end in the status line and per row the result, the state it
// ended in, the error code with its checklist in one line, the full error text, and the rate and time left.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/core/ConsoleView.h"
#include "app/core/ErrorTexts.h"
#include "app/core/PortRun.h"
#include "app/core/Texts.h"

namespace app {

// Under the status line while the error dialog says no indicator (1) or no port (3) and none has answered.
inline constexpr char kLookingHint[] = "Still looking: connect the indicator and turn it on, or press Exit.";

inline bool ShowsLookingHint(uint32_t dialogCode, bool answered, const std::string& status) {
  return (dialogCode == 1 || dialogCode == 3) && !answered && status == kSearchingStatus;
}

// A port that never opened takes one line in its row.
inline bool NeverOpened(const PortResult& result) {
  return ConsoleView::NeverOpened(result);
}

// "Updated", "Failed: why", "No indicator: why", "Skipped: why"; empty while the port runs. A port that did
// not open says so once, without its name again: "Skipped, did not open: why".
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
      if (NeverOpened(result)) {
        return "Skipped, did not open" + ConsoleView::WhyNotOpened(result);
      }
      text = "Skipped";
      break;
    case PortOutcome::Checked:
      text = "Checked";
      break;
  }
  return result.Reason.empty() ? text : text + ": " + result.Reason;
}

// The state a row ends in: its last status, unless that is still the search every port begins with.
inline std::string RowEndedStatus(const PortResult& result) {
  if (!result.Status.empty() && result.Status != kSearchingStatus) return result.Status;
  switch (result.Outcome) {
    case PortOutcome::Updated:
      return kSuccessStatus;
    case PortOutcome::Failed:
      return "Stopped; the update did not complete";
    case PortOutcome::NoIndicator:
      return "Stopped searching; no indicator answered";
    case PortOutcome::Skipped:
      return NeverOpened(result) ? "The port did not open" : "Left out";
    case PortOutcome::Checked:
      return "Checked: " + result.Reason;
    case PortOutcome::Running:
      break;
  }
  return result.Status;
}

// The status line once every port of the batch has ended: "Batch ended: 1 updated, 2 failed, 22 did not
// open (Com4-Com25)".
inline std::string BatchEndedStatus(const BatchResult& result) {
  int counts[6] = {};
  std::vector<std::string> closed;
  for (const PortResult& port : result.Ports) {
    if (NeverOpened(port)) {
      closed.push_back(port.Port);
    } else {
      ++counts[static_cast<int>(port.Outcome)];
    }
  }
  std::string text;
  auto add = [&](int n, const char* what) {
    if (n > 0) text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + what;
  };
  add(counts[static_cast<int>(PortOutcome::Checked)], "checked");
  add(counts[static_cast<int>(PortOutcome::Updated)], "updated");
  add(counts[static_cast<int>(PortOutcome::Failed)], "failed");
  add(counts[static_cast<int>(PortOutcome::NoIndicator)], "without an indicator");
  add(counts[static_cast<int>(PortOutcome::Skipped)], "left out");
  add(counts[static_cast<int>(PortOutcome::Running)], "running");
  add(static_cast<int>(closed.size()), "did not open");
  // Names that do not run in sequence (paths) would make the line too long to read: the count says enough.
  const std::string names = ConsoleView::CompactNames(closed);
  if (!closed.empty() && names.size() <= 40) text += " (" + names + ")";
  return "Batch ended: " + (text.empty() ? std::string("no port") : text);
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
