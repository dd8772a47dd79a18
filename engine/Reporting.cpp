// Reporting: each report runs its user-interface part on the UI thread through Synchronize.
#include "engine/SerialThreadDef.h"

namespace engine {

void TSerialThread::Log(const std::string& text) {
  LogText = text;
  Synchronize([this] { AppendLogLine(); });
}

void TSerialThread::AppendLogLine() {
  if (!ProgressBar) return;
  try {
    ProgressBar->AppendLogLine(LogText);
  } catch (...) {
    ProgressBar->AppendLogLine("Insert to richedit error.");
  }
}

void TSerialThread::ReportUnlessStopped(const std::function<void(IReporter&)>& report) {
  // Once the engine has been told to stop, the status line and the bar keep what they show; only Log goes on.
  Synchronize([&] {
    if (!Terminated() && ProgressBar) report(*ProgressBar);
  });
}

void TSerialThread::ShowStatus(const std::string& text) {
  StatusText = text;
  ReportUnlessStopped([this](IReporter& r) { r.ApplyStatus(StatusText); });
}

void TSerialThread::UpdateProgress() {
  ReportUnlessStopped([this](IReporter& r) { r.SetProgressPosition(BytesSent); });
}

void TSerialThread::SetProgressMax() {
  ReportUnlessStopped([this](IReporter& r) { r.SetProgressMax(ProgressMax); });
}

void TSerialThread::ShowProgressBar() {
  ReportUnlessStopped([this](IReporter& r) { r.SetProgressVisible(ProgressVisible != 0); });
}

}  // namespace engine
