#include "app/core/ConsoleView.h"

#include <algorithm>
#include <cmath>

#include "app/core/ErrorTexts.h"
#include "toolkit/Clock.h"

namespace app {

namespace {

constexpr int kBarWidth = 30;
// Narrower than this a bar says nothing; the text goes on alone.
constexpr int kLeastBarWidth = 10;
constexpr char kNotOpened[] = "did not open";
constexpr uint64_t kRedrawMs = 100;
// The rate is shown once this much of the transfer has been timed, so the first blocks do not mislead.
constexpr uint64_t kConsoleRateAfterMs = 1000;

std::string WithoutCr(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') continue;
      out.push_back('\n');
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// The bar and its text in `columns` (0: unknown), never in the last one, where a terminal wraps and the next
// redraw in place would leave a trail: the bar narrower first, then the time left, the rate and the bytes go.
std::string FitBar(const std::string& prefix, int percent, int position, int max, double rate, int columns) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%3d%%", percent);
  const std::string alone = buf;
  std::snprintf(buf, sizeof buf, "  %d/%d bytes", position, max);
  const std::string bytes = alone + buf;
  std::string texts[] = {ConsoleView::ProgressText(position, max, rate), bytes, bytes, alone};
  if (rate > 0) texts[1] += "  " + ConsoleView::FormatRate(rate);
  const int room = columns - 1 - static_cast<int>(prefix.size()) - 3;  // 3: the brackets and a space
  for (const std::string& text : texts) {
    const int width = columns > 0 ? std::min(kBarWidth, room - static_cast<int>(text.size())) : kBarWidth;
    if (width < kLeastBarWidth) continue;
    const int filled = percent * width / 100;
    return prefix + "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(width - filled), '.') + "] " + text;
  }
  std::string line = prefix + texts[3];
  line.resize(std::min(line.size(), static_cast<size_t>(std::max(columns - 1, 0))));
  return line;
}

}  // namespace

// One port's row: a view of its own that prints through the batch's view, each line led by the port.
class ConsoleView::Row : public IPortView {
 public:
  Row(ConsoleView& batch, size_t index, const std::string& name)
      : batch_(batch), name_(name), view_(RowOptions(batch, index, name)) {}
  void StatusChanged(const std::string& text) override { view_.StatusChanged(text); }
  void LogLinesAdded(const std::vector<std::string>& lines) override { view_.LogLinesAdded(lines); }
  void ProgressPositionChanged(int position) override { view_.ProgressPositionChanged(position); }
  void ProgressMaxChanged(int max) override { view_.ProgressMaxChanged(max); }
  void ProgressVisibleChanged(bool visible) override { view_.ProgressVisibleChanged(visible); }
  void ErrorChanged(uint32_t code) override {
    if (code != 0) view_.ShowErrorMessage(code);
  }
  void MessageShown(const std::string& text) override { view_.MessageBox(text, "Message"); }
  void CheckDone(const engine::CheckReport& report) override { view_.CheckDone(report); }
  void Ended(const PortResult& result) override {
    view_.ProgressVisibleChanged(false);
    // Ports that never opened are said together, in one line before the next of any other port.
    if (NeverOpened(result)) {
      batch_.notOpened_.push_back(result);
      return;
    }
    view_.Line(ResultText(result) + (result.LogFile.empty() ? "" : "; diagnostic log: " + result.LogFile));
  }

 private:
  static Options RowOptions(ConsoleView& batch, size_t index, const std::string& name) {
    Options o;
    o.Out = batch.o_.Out;
    o.Err = batch.o_.Err;
    o.Terminal = batch.o_.Terminal;
    o.LiveLog = batch.o_.LiveLog;
    o.Clock = batch.o_.Clock;
    o.Device = batch.o_.Device;
    o.Columns = batch.o_.Columns;
    o.Prefix = name + ": ";
    o.Print = [&batch](const std::string& line) { batch.Line(line); };
    if (batch.o_.Terminal) o.Bar = [&batch, index](const std::string& bar) { batch.SetBar(index, bar); };
    return o;
  }

  ConsoleView& batch_;
  std::string name_;
  ConsoleView view_;
};

ConsoleView::ConsoleView(Options options) : o_(std::move(options)) {}

ConsoleView::~ConsoleView() = default;

IPortView* ConsoleView::PortAdded(size_t index, const std::string& name) {
  if (rows_.size() <= index) {
    rows_.resize(index + 1);
    bars_.resize(index + 1);
  }
  SetBar(index, std::string());
  rows_[index] = std::make_unique<Row>(*this, index, name);
  return rows_[index].get();
}

std::string ConsoleView::ResultText(const PortResult& r) {
  std::string text;
  switch (r.Outcome) {
    case PortOutcome::Updated:
      text = "updated";
      break;
    case PortOutcome::Failed:
      text = "FAILED";
      break;
    case PortOutcome::NoIndicator:
      text = "no indicator";
      break;
    case PortOutcome::Skipped:
      text = "skipped";
      break;
    case PortOutcome::Running:
      text = "running";
      break;
    case PortOutcome::Checked:
      text = "checked";
      break;
  }
  text += " after " + FormatDuration(r.Seconds);
  if (!r.Reason.empty()) text += ": " + r.Reason;
  if (r.Outcome == PortOutcome::Failed && r.ErrorCode != 0) {
    text += " (error " + std::to_string(r.ErrorCode) + "; last status: " + r.Status + ")";
  }
  return text;
}

bool ConsoleView::NeverOpened(const PortResult& result) {
  // The engine's reason names the port that "did not open", with the system's words after it.
  return result.Outcome == PortOutcome::Skipped && result.Reason.find(kNotOpened) != std::string::npos;
}

std::string ConsoleView::WhyNotOpened(const PortResult& result) {
  const size_t at = result.Reason.find(kNotOpened);
  return at == std::string::npos ? std::string() : result.Reason.substr(at + sizeof kNotOpened - 1);
}

void ConsoleView::SayNotOpened() {
  if (notOpened_.empty()) return;
  const std::vector<PortResult> ports = std::move(notOpened_);
  notOpened_.clear();
  std::vector<std::string> names;
  std::string why = WhyNotOpened(ports.front()), logs;
  for (const PortResult& port : ports) {
    names.push_back(port.Port);
    if (WhyNotOpened(port) != why) why.clear();
    if (logs.empty() && !port.LogFile.empty())
      logs = port.LogFile.substr(0, port.LogFile.find_last_of("/\\"));
  }
  Line(CompactNames(names) + " " + kNotOpened + why + (logs.empty() ? "" : "; diagnostic logs in " + logs));
}

std::string ConsoleView::CompactNames(const std::vector<std::string>& names) {
  // A name is its stem and the number it ends in; a run is a stem's numbers one after the other.
  auto split = [](const std::string& name) {
    size_t digits = name.size();
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
    const bool numbered = digits < name.size() && name.size() - digits < 9;
    return std::make_pair(name.substr(0, digits), numbered ? std::stol(name.substr(digits)) : -1L);
  };
  std::string text;
  for (size_t i = 0; i < names.size();) {
    const auto [stem, first] = split(names[i]);
    size_t end = i + 1;
    while (first >= 0 && end < names.size() &&
           split(names[end]) == std::make_pair(stem, first + static_cast<long>(end - i)))
      ++end;
    text += (text.empty() ? "" : ", ") + names[i];
    if (end - i > 2) {
      text += "-" + names[end - 1];
    } else if (end - i == 2) {
      text += ", " + names[i + 1];
    }
    i = end;
  }
  return text;
}

void ConsoleView::BatchEnded(const BatchResult& result) {
  std::vector<std::string> lists[6];
  for (const PortResult& port : result.Ports) lists[static_cast<int>(port.Outcome)].push_back(port.Port);
  auto count = [&](PortOutcome o) { return std::to_string(lists[static_cast<int>(o)].size()); };
  auto names = [&](PortOutcome o) {
    std::string text;
    for (const std::string& name : lists[static_cast<int>(o)]) text += " " + name;
    return text;
  };
  const bool checks = !lists[static_cast<int>(PortOutcome::Checked)].empty();
  std::string text =
      "Batch " + std::string(result.Ok ? "done" : "NOT done") + " after " + FormatDuration(result.Seconds) +
      ": " + (checks ? count(PortOutcome::Checked) + " checked, " : std::string()) +
      count(PortOutcome::Updated) + " updated, " + count(PortOutcome::Failed) + " failed, " +
      count(PortOutcome::NoIndicator) + " without an indicator, " + count(PortOutcome::Skipped) + " skipped";
  if (!lists[static_cast<int>(PortOutcome::Updated)].empty())
    text += "\n  Updated:" + names(PortOutcome::Updated);
  if (!lists[static_cast<int>(PortOutcome::Failed)].empty())
    text += "\n  Failed:" + names(PortOutcome::Failed);
  if (!lists[static_cast<int>(PortOutcome::NoIndicator)].empty()) {
    text += "\n  No indicator:" + names(PortOutcome::NoIndicator);
  }
  Line(text);
}

void ConsoleView::ClearBoard() {
  if (boardLines_ == 0) return;
  // Up to the first bar, then everything below the cursor goes.
  std::fprintf(o_.Out, "\r\033[%dA\033[J", boardLines_);
  boardLines_ = 0;
}

void ConsoleView::DrawBoard() {
  for (const std::string& bar : bars_) {
    if (bar.empty()) continue;
    std::fprintf(o_.Out, "%s\033[K\n", bar.c_str());
    ++boardLines_;
  }
  std::fflush(o_.Out);
}

void ConsoleView::SetBar(size_t index, const std::string& text) {
  if (index >= bars_.size() || bars_[index] == text) return;
  const bool gone = text.empty();
  bars_[index] = text;
  // Sixteen ports redrawing their bars each would flood a slow terminal: the board at most every 100 ms,
  // at once only when a bar goes away.
  const uint64_t now = Now();
  if (!gone && now < lastBoardMs_ + kRedrawMs) return;
  lastBoardMs_ = now;
  ClearBoard();
  DrawBoard();
}

uint64_t ConsoleView::Now() const {
  return o_.Clock ? o_.Clock() : static_cast<uint64_t>(tk::MonotonicUs() / 1000);
}

void ConsoleView::EndBar() {
  if (!barOnScreen_) return;
  if (o_.Bar) {
    o_.Bar(std::string());
    barOnScreen_ = false;
    return;
  }
  std::fputc('\n', o_.Out);
  barOnScreen_ = false;
}

void ConsoleView::Line(const std::string& text) {
  if (o_.Print) {
    // A row's lines go through its batch, each led by the port.
    size_t from = 0;
    for (;;) {
      const size_t end = text.find('\n', from);
      o_.Print(o_.Prefix + text.substr(from, end == std::string::npos ? std::string::npos : end - from));
      if (end == std::string::npos) break;
      from = end + 1;
    }
    return;
  }
  SayNotOpened();
  EndBar();
  ClearBoard();
  std::fputs(text.c_str(), o_.Out);
  std::fputc('\n', o_.Out);
  DrawBoard();
  std::fflush(o_.Out);
}

void ConsoleView::MessageBox(const std::string& text, const std::string& caption) {
  Line("[" + caption + "]\n" + WithoutCr(text));
}

void ConsoleView::StatusChanged(const std::string& text) {
  if (text == status_) return;
  status_ = text;
  Line(text);
}

void ConsoleView::LogLinesAdded(const std::vector<std::string>& lines) {
  if (!o_.LiveLog) return;
  // On a terminal the bar would be torn by lines written under it; it is drawn again by the next report.
  if (o_.Terminal) EndBar();
  for (const auto& line : lines) {
    std::fputs(o_.Prefix.c_str(), o_.Err);
    std::fputs(line.c_str(), o_.Err);
    std::fputc('\n', o_.Err);
  }
  std::fflush(o_.Err);
}

void ConsoleView::Restart() {
  startMs_ = Now();
  startPosition_ = position_;
  lastDrawMs_ = 0;
}

int ConsoleView::Percent() const {
  return max_ > 0 ? static_cast<int>(std::clamp<int64_t>(int64_t{position_} * 100 / max_, 0, 100)) : 0;
}

void ConsoleView::ProgressPositionChanged(int position) {
  // A position that goes back starts the timing again (a retry); plain lines then go on from its step
  // without a line of their own.
  const bool back = position < position_;
  position_ = position;
  if (back) {
    Restart();
    lastTenth_ = Percent() / 10;
  }
  if (!visible_) return;
  // The first count of a transfer draws its bar: none stands on the screen before its bytes have begun.
  Draw(waiting_);
  waiting_ = false;
}

void ConsoleView::ProgressMaxChanged(int max) {
  // A new range starts a new transfer, drawn from its first count on.
  max_ = max;
  Restart();
  lastTenth_ = -1;
  waiting_ = true;
}

void ConsoleView::ProgressVisibleChanged(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  if (visible) {
    Restart();
    waiting_ = true;
  } else {
    EndBar();
  }
}

void ConsoleView::PayloadsChosen(const PayloadReport& firmware, const PayloadReport& loader) {
  Line("Firmware: " + PayloadText(firmware));
  Line("Loader: " + PayloadText(loader));
}

std::string ConsoleView::FormatRate(double bytesPerSecond) {
  char buf[32];
  if (bytesPerSecond >= 1000.0) {
    std::snprintf(buf, sizeof buf, "%.1f kB/s", bytesPerSecond / 1000.0);
  } else {
    std::snprintf(buf, sizeof buf, "%.0f B/s", bytesPerSecond);
  }
  return buf;
}

std::string ConsoleView::FormatDuration(double seconds) {
  const long total = std::lround(std::max(0.0, seconds));
  char buf[32];
  if (total >= 3600) {
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%ld:%02ld", total / 60, total % 60);
  }
  return buf;
}

std::string ConsoleView::ProgressText(int position, int max, double bytesPerSecond) {
  const int percent =
      max > 0 ? static_cast<int>(std::clamp<int64_t>(int64_t{position} * 100 / max, 0, 100)) : 0;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%3d%%  %d/%d bytes", percent, position, max);
  std::string text = buf;
  if (bytesPerSecond > 0) {
    text += "  " + FormatRate(bytesPerSecond);
    if (position < max) text += "  " + FormatDuration((max - position) / bytesPerSecond) + " left";
  }
  return text;
}

void ConsoleView::Draw(bool force) {
  const uint64_t now = Now();
  double rate = 0;
  if (now >= startMs_ + kConsoleRateAfterMs && position_ > startPosition_) {
    rate = (position_ - startPosition_) * 1000.0 / static_cast<double>(now - startMs_);
  }
  const int percent = Percent();
  if (o_.Terminal) {
    if (!force && percent < 100 && now < lastDrawMs_ + kRedrawMs) return;
    lastDrawMs_ = now;
    const int columns = o_.Columns ? o_.Columns() : 0;
    if (o_.Bar) {
      o_.Bar(FitBar(o_.Prefix, percent, position_, max_, rate, columns));
      barOnScreen_ = true;
      return;
    }
    // \r back to the start of the line, \033[K clears what a longer text left behind.
    std::fprintf(o_.Out, "\r%s\033[K",
                 FitBar(std::string(), percent, position_, max_, rate, columns).c_str());
    std::fflush(o_.Out);
    barOnScreen_ = true;
  } else {
    const int tenth = percent / 10;
    if (!force && tenth == lastTenth_) return;
    lastTenth_ = tenth;
    Line("Progress: " + ProgressText(position_, max_, rate));
  }
}

void ConsoleView::ShowErrorMessage(uint32_t code) {
  const ErrorText text = ErrorTextFor(code);
  std::string block = "--- Update Error Message ---";
  for (const auto& line : text.Lines) block += "\n" + line;
  block += "\n----------------------------";
  Line(block);
}

void ConsoleView::BuildDone(const payload::BuildResult& result) {
  if (result.Ok) Line("Wrote " + result.OutputPath);
}

void ConsoleView::LogFileDone(const LogFileResult& result) {
  if (result.Written) {
    if (!logFileShown_ && !result.Note.empty()) Line(result.Note);
    if (!logFileShown_) Line("Diagnostic log: " + result.Path);
    logFileShown_ = true;
    return;
  }
  EndBar();
  std::fprintf(o_.Err, "The diagnostic log was not written: %s\n", result.Error.c_str());
  std::fflush(o_.Err);
}

void ConsoleView::EndProgram(int exitCode) {
  SayNotOpened();
  EndBar();
  std::fflush(o_.Out);
  if (o_.OnEnd) o_.OnEnd(exitCode);
}

}  // namespace app
