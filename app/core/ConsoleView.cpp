#include "app/core/ConsoleView.h"

#include <algorithm>
#include <cmath>

#include "app/core/ErrorTexts.h"
#include "toolkit/Clock.h"

namespace app {

namespace {

constexpr int kBarWidth = 30;
constexpr uint64_t kRedrawMs = 100;
// The rate is shown once this much of the transfer has been timed, so the first blocks do not mislead.
constexpr uint64_t kRateAfterMs = 1000;

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

}  // namespace

ConsoleView::ConsoleView(Options options) : o_(std::move(options)) {}

uint64_t ConsoleView::Now() const {
  return o_.Clock ? o_.Clock() : static_cast<uint64_t>(tk::MonotonicUs() / 1000);
}

void ConsoleView::EndBar() {
  if (!barOnScreen_) return;
  std::fputc('\n', o_.Out);
  barOnScreen_ = false;
}

void ConsoleView::Line(const std::string& text) {
  EndBar();
  std::fputs(text.c_str(), o_.Out);
  std::fputc('\n', o_.Out);
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
  if (now >= startMs_ + kRateAfterMs && position_ > startPosition_) {
    rate = (position_ - startPosition_) * 1000.0 / static_cast<double>(now - startMs_);
  }
  const int percent = Percent();
  if (o_.Terminal) {
    if (!force && percent < 100 && now < lastDrawMs_ + kRedrawMs) return;
    lastDrawMs_ = now;
    const int filled = percent * kBarWidth / 100;
    const std::string bar = "[" + std::string(static_cast<size_t>(filled), '#') +
                            std::string(static_cast<size_t>(kBarWidth - filled), '.') + "] ";
    // \r back to the start of the line, \033[K clears what a longer text left behind.
    std::fprintf(o_.Out, "\r%s%s\033[K", bar.c_str(), ProgressText(position_, max_, rate).c_str());
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
  EndBar();
  std::fflush(o_.Out);
  if (o_.OnEnd) o_.OnEnd(exitCode);
}

}  // namespace app
