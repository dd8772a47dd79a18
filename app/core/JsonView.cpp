#include "app/core/JsonView.h"

#include <cmath>
#include <cstdlib>

#include "app/core/ConsoleView.h"
#include "app/core/ErrorTexts.h"
#include "toolkit/Clock.h"

namespace app {

namespace {

constexpr int kVersion = 1;
// Progress events at most this often, besides the first and the last of a transfer.
constexpr uint64_t kProgressEveryMs = 250;
// The rate is given once this much of a transfer has been timed.
constexpr uint64_t kJsonRateAfterMs = 500;
// The loader's status comes just before its bar is ranged; the firmware's just after.
constexpr char kLoaderStatus[] = "Sending Load Program";

// `value`, or null when it is empty.
void AddTextOrNull(JsonObject& o, const std::string& key, const std::string& value) {
  if (value.empty()) {
    o.AddNull(key);
  } else {
    o.Add(key, value);
  }
}

JsonObject PayloadObject(const PayloadReport& r) {
  JsonObject o;
  o.Add("source", r.Source).Add("size", r.Size).Add("crc16", static_cast<int>(r.Crc16));
  o.Add("readable", r.Readable);
  if (r.Sha256.empty()) {
    o.AddNull("sha256");
  } else {
    o.Add("sha256", r.Sha256);
  }
  o.Add("sha256_recorded", r.Sha256Recorded);
  return o;
}

}  // namespace

// One port's row: a view of its own whose events carry the port, on the batch's output; the human view on
// the error stream gets the port's row as well.
class JsonView::Row : public IPortView {
 public:
  Row(JsonView& batch, size_t index, const std::string& name)
      : human_(batch.o_.Human ? batch.o_.Human->PortAdded(index, name) : nullptr),
        view_(RowOptions(batch, name)) {}
  void StatusChanged(const std::string& text) override {
    if (human_) human_->StatusChanged(text);
    view_.StatusChanged(text);
  }
  void LogLinesAdded(const std::vector<std::string>& lines) override {
    if (human_) human_->LogLinesAdded(lines);
    view_.LogLinesAdded(lines);
  }
  void ProgressPositionChanged(int position) override {
    if (human_) human_->ProgressPositionChanged(position);
    view_.ProgressPositionChanged(position);
  }
  void ProgressMaxChanged(int max) override {
    if (human_) human_->ProgressMaxChanged(max);
    view_.ProgressMaxChanged(max);
  }
  void ProgressVisibleChanged(bool visible) override {
    if (human_) human_->ProgressVisibleChanged(visible);
    view_.ProgressVisibleChanged(visible);
  }
  void PortAnswering(const std::string& name, const std::string& device, int baud) override {
    if (human_) human_->PortAnswering(name, device, baud);
    view_.PortAnswering(name, device, baud);
  }
  void ErrorChanged(uint32_t code) override {
    if (human_) human_->ErrorChanged(code);
    if (code != 0) view_.ShowErrorMessage(code);
  }
  void MessageShown(const std::string& text) override {
    if (human_) human_->MessageShown(text);
    view_.MessageBox(text, "Message");
  }
  void CheckDone(const engine::CheckReport& report) override {
    if (human_) human_->CheckDone(report);
    view_.CheckDone(report);
  }
  void Ended(const PortResult& result) override {
    if (human_) human_->Ended(result);
    view_.EmitPortResult(result);
  }

 private:
  static Options RowOptions(const JsonView& batch, const std::string& name) {
    Options o;
    o.Out = batch.o_.Out;
    o.Line = batch.o_.Line;
    o.Log = batch.o_.Log;
    o.Clock = batch.o_.Clock;
    o.Device = batch.o_.Device;
    o.Port = name;
    return o;
  }

  IPortView* human_;
  JsonView view_;
};

JsonView::JsonView(Options options) : o_(std::move(options)) {}

JsonView::~JsonView() = default;

IPortView* JsonView::PortAdded(size_t index, const std::string& name) {
  batch_ = true;
  if (rows_.size() <= index) rows_.resize(index + 1);
  rows_[index] = std::make_unique<Row>(*this, index, name);
  return rows_[index].get();
}

void JsonView::BatchEnded(const BatchResult& result) {
  if (o_.Human) o_.Human->BatchEnded(result);
  batchResult_ = result;
}

namespace {

JsonObject PortObject(const PortResult& r) {
  JsonObject o;
  o.Add("port", r.Port);
  AddTextOrNull(o, "device", r.Device);
  o.Add("seconds", std::round(r.Seconds * 10) / 10);
  return o;
}

}  // namespace

void JsonView::EmitPortResult(const PortResult& r) {
  JsonObject o;
  const bool checked = r.Outcome == PortOutcome::Checked;
  o.Add("ok", r.Outcome == PortOutcome::Updated || (checked && !engine::RefusesFirmware(r.Check.Verdict)));
  o.Add("outcome", OutcomeName(r.Outcome));
  if (checked) o.Add("verdict", engine::VerdictName(r.Check.Verdict));
  AddTextOrNull(o, "device", r.Device);
  if (r.Baud != 0) {
    o.Add("baud", r.Baud);
  } else {
    o.AddNull("baud");
  }
  o.Add("error_code", r.ErrorCode).Add("status", r.Status).Add("reason", r.Reason);
  o.Add("seconds", std::round(r.Seconds * 10) / 10);
  AddTextOrNull(o, "log_file", r.LogFile);
  Emit("result", o);
}

void JsonView::AddClosingFields(JsonObject& o) const {
  AddTextOrNull(o, "log_file", logFile_);
  if (haveFirmware_) {
    o.Add("firmware", PayloadObject(firmware_)).Add("loader", PayloadObject(loader_));
  } else {
    o.AddNull("firmware").AddNull("loader");
  }
}

void JsonView::EmitBatch(int exitCode) {
  const BatchResult& b = batchResult_;
  auto list = [&](PortOutcome outcome) {
    std::string items;
    for (const PortResult& r : b.Ports) {
      if (r.Outcome != outcome) continue;
      JsonObject o = PortObject(r);
      if (outcome == PortOutcome::Updated) {
        o.Add("baud", r.Baud);
      } else if (outcome == PortOutcome::Checked) {
        o.Add("baud", r.Baud).Add("verdict", engine::VerdictName(r.Check.Verdict));
      } else if (outcome == PortOutcome::Failed) {
        o.Add("error_code", r.ErrorCode).Add("status", r.Status).Add("reason", r.Reason);
      } else {
        o.Add("reason", r.Reason);
      }
      items += (items.empty() ? "" : ",") + o.Text();
    }
    return "[" + items + "]";
  };
  JsonObject o;
  o.Add("ok", b.Ok && exitCode == 0)
      .Add("exit_code", exitCode)
      .Add("seconds", std::round(b.Seconds * 10) / 10);
  if (haveResult_) o.Add("interrupted", result_.Interrupted);
  // Only a check has checked ports: an update's batch line stays as it was.
  bool anyChecked = false;
  for (const PortResult& r : b.Ports) anyChecked = anyChecked || r.Outcome == PortOutcome::Checked;
  if (anyChecked) o.AddRaw("checked", list(PortOutcome::Checked));
  o.AddRaw("updated", list(PortOutcome::Updated));
  o.AddRaw("failed", list(PortOutcome::Failed));
  o.AddRaw("no_indicator", list(PortOutcome::NoIndicator));
  o.AddRaw("skipped", list(PortOutcome::Skipped));
  AddClosingFields(o);
  Emit("batch", o);
}

uint64_t JsonView::Now() const {
  return o_.Clock ? o_.Clock() : static_cast<uint64_t>(tk::MonotonicUs() / 1000);
}

void JsonView::Emit(const std::string& event, JsonObject fields) {
  // Nothing follows the result.
  if (ended_) return;
  JsonObject line;
  line.Add("v", kVersion).Add("event", event);
  if (!o_.Port.empty()) line.Add("port", o_.Port);
  std::string text = line.Text();
  const std::string rest = fields.Text();
  if (rest.size() > 2) text = text.substr(0, text.size() - 1) + "," + rest.substr(1);
  if (o_.Line) {
    o_.Line(text);
    return;
  }
  text += "\n";
  std::fputs(text.c_str(), o_.Out);
  std::fflush(o_.Out);
}

void JsonView::MessageBox(const std::string& text, const std::string& caption) {
  // A program reads one kind of line end: the message box's CR LF become LF.
  std::string lf;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    lf.push_back(text[i] == '\r' ? '\n' : text[i]);
  }
  Emit("message", JsonObject().Add("caption", caption).Add("text", lf));
  if (o_.Human) o_.Human->MessageBox(text, caption);
}

void JsonView::StatusChanged(const std::string& text) {
  if (o_.Human) o_.Human->StatusChanged(text);
  if (text == status_) return;
  status_ = text;
  Emit("status", JsonObject().Add("text", text));
}

void JsonView::PortAnswering(const std::string& name, const std::string& device, int baud) {
  if (o_.Human) o_.Human->PortAnswering(name, device, baud);
  JsonObject o;
  o.Add("name", name);
  if (o_.Device) {
    o.Add("device", o_.Device(device));
  } else {
    o.AddNull("device");
  }
  o.Add("baud", baud);
  Emit("port", o);
}

void JsonView::LogLinesAdded(const std::vector<std::string>& lines) {
  if (o_.Human) o_.Human->LogLinesAdded(lines);
  for (const auto& line : lines) {
    if (o_.Log) Emit("log", JsonObject().Add("text", line));
  }
}

void JsonView::Progress(bool force) {
  const uint64_t now = Now();
  if (position_ == lastBytes_) return;
  if (!force && position_ < max_ && now < lastEventMs_ + kProgressEveryMs) return;
  lastEventMs_ = now;
  lastBytes_ = position_;
  JsonObject o;
  o.Add("phase", firmwarePhase_ ? "firmware" : "loader").Add("bytes", position_).Add("total", max_);
  const uint64_t elapsed = now - startMs_;
  // Less time than that gives no rate worth showing (the kernel may take a whole loader at once).
  const bool last = position_ >= max_;
  if (elapsed >= kJsonRateAfterMs && position_ > startPosition_) {
    const double rate = (position_ - startPosition_) * 1000.0 / static_cast<double>(elapsed);
    o.Add("rate", std::round(rate * 10) / 10);
    o.Add("eta_s", last ? 0.0 : std::round((max_ - position_) / rate * 10) / 10);
  } else {
    o.AddNull("rate").AddNull("eta_s");
  }
  Emit("progress", o);
}

void JsonView::ProgressPositionChanged(int position) {
  if (o_.Human) o_.Human->ProgressPositionChanged(position);
  if (position < position_) {
    // A transfer that starts over (a retry) is timed and reported from its new start.
    startMs_ = Now();
    startPosition_ = position;
    lastBytes_ = -1;
  }
  position_ = position;
  if (!visible_) return;
  Progress(waiting_);
  waiting_ = false;
}

void JsonView::ProgressMaxChanged(int max) {
  if (o_.Human) o_.Human->ProgressMaxChanged(max);
  max_ = max;
  firmwarePhase_ = status_ != kLoaderStatus;
  startMs_ = Now();
  startPosition_ = position_;
  lastBytes_ = -1;
  waiting_ = true;
  // The firmware's first count comes only after its first blocks: its start is reported now, as its bytes
  // begin right after.
  if (visible_ && firmwarePhase_) {
    Progress(true);
    waiting_ = false;
  }
}

void JsonView::ProgressVisibleChanged(bool visible) {
  if (o_.Human) o_.Human->ProgressVisibleChanged(visible);
  visible_ = visible;
}

void JsonView::BuildDone(const payload::BuildResult& result) {
  if (o_.Human) o_.Human->BuildDone(result);
  if (result.Ok) Emit("built", JsonObject().Add("path", result.OutputPath));
}

void JsonView::LogFileDone(const LogFileResult& result) {
  if (o_.Human) o_.Human->LogFileDone(result);
  if (result.Written) logFile_ = result.Path;
}

void JsonView::PayloadsChosen(const PayloadReport& firmware, const PayloadReport& loader) {
  if (o_.Human) o_.Human->PayloadsChosen(firmware, loader);
  haveFirmware_ = true;
  firmware_ = firmware;
  loader_ = loader;
}

void JsonView::StartRefused(const std::string& reason) {
  if (o_.Human) o_.Human->StartRefused(reason);
  refusal_ = reason;
}

namespace {

// A code's lines as the error event carries them.
std::string ErrorLines(uint32_t code) {
  const std::vector<std::string> lines = ErrorTextFor(code).Lines;
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) text += (i ? "\n" : "") + lines[i];
  return text;
}

}  // namespace

void JsonView::ShowErrorMessage(uint32_t code) {
  if (o_.Human) o_.Human->ShowErrorMessage(code);
  errorCode_ = code;
  Emit("error", JsonObject().Add("code", code).Add("text", ErrorLines(code)));
}

void JsonView::ShowErrorDetail(const std::string& detail) {
  if (o_.Human) o_.Human->ShowErrorDetail(detail);
  // The same error again, with why: the last error line says all.
  Emit("error", JsonObject()
                    .Add("code", errorCode_)
                    .Add("text", ErrorLines(errorCode_) + "\n\n" + detail)
                    .Add("detail", detail));
}

void JsonView::Notice(const std::string& text) {
  if (o_.Human) o_.Human->Notice(text);
  Emit("notice", JsonObject().Add("text", text));
}

JsonObject JsonView::CheckObject(const engine::CheckReport& r, const std::string& device) {
  JsonObject answers;
  for (const engine::CheckAnswer& a : r.Answers) answers.Add(a.Command, a.Answer);
  JsonObject o;
  o.Add("name", r.Port);
  AddTextOrNull(o, "device", device);
  if (r.Baud) {
    o.Add("baud", r.Baud);
  } else {
    o.AddNull("baud");
  }
  o.Add("verdict", engine::VerdictName(r.Verdict)).Add("fits", r.Verdict == engine::CheckVerdict::Fits);
  o.Add("text", engine::VerdictText(r.Verdict)).Add("reason", r.Reason).Add("answers", answers);
  return o;
}

void JsonView::CheckDone(const engine::CheckReport& report) {
  if (o_.Human) o_.Human->CheckDone(report);
  Emit("check", CheckObject(report, o_.Device ? o_.Device(report.Device) : std::string()));
}

void JsonView::RunEnded(const RunResult& result) {
  if (o_.Human) o_.Human->RunEnded(result);
  haveResult_ = true;
  result_ = result;
}

void JsonView::Hide() {
  if (o_.Human) o_.Human->Hide();
}

void JsonView::EndProgram(int exitCode) {
  if (ended_) return;
  if (batch_) {
    // Each port has had its result: the batch's line is the last.
    EmitBatch(exitCode);
  } else {
    JsonObject o;
    o.Add("ok", exitCode == 0).Add("exit_code", exitCode);
    if (haveResult_) {
      o.Add("outcome", result_.Outcome);
      o.Add("reason", result_.Reason.empty() ? refusal_ : result_.Reason);
      o.Add("interrupted", result_.Interrupted);
      if (!result_.Verdict.empty()) o.Add("verdict", result_.Verdict);
    } else if (!refusal_.empty()) {
      o.Add("reason", refusal_);
    }
    AddClosingFields(o);
    Emit("result", o);
  }
  ended_ = true;
  if (o_.Human) o_.Human->EndProgram(exitCode);
  if (o_.OnEnd) o_.OnEnd(exitCode);
}

}  // namespace app
