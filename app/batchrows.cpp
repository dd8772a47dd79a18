#include "app/batchrows.h"

#include <QApplication>
#include <QGridLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <utility>

#include "app/Fonts.h"
#include "app/core/Texts.h"
#include "serial/CommOs.h"
#include "toolkit/Runtime.h"

namespace app {

namespace {

// The device a port name stands for, when it says more than the name.
std::string DeviceOf(const std::string& name) {
  try {
    std::string device = commos::ResolvePortName(name);
    return device == name ? std::string() : device;
  } catch (...) {
    return std::string();
  }
}

}  // namespace

// ---- TElidedLabel

void TElidedLabel::SetFullText(const std::string& text) {
  full_ = QtText(text);
  setToolTip(full_);
  setText(full_);
  update();
}

QString TElidedLabel::ShownText() const {
  return fontMetrics().elidedText(full_, Qt::ElideRight, contentsRect().width());
}

QSize TElidedLabel::sizeHint() const {
  // As high as a line, as narrow as nothing: the other texts of the row set its width.
  return {0, fontMetrics().height()};
}

void TElidedLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setPen(palette().color(foregroundRole()));
  painter.drawText(contentsRect(), Qt::AlignLeft | Qt::AlignVCenter, ShownText());
}

// ---- TPortRow

TPortRow::TPortRow(const std::string& name, std::function<uint64_t()> clockMs, std::function<void()> resized,
                   QWidget* parent)
    : QFrame(parent), rate_(std::move(clockMs)), resized_(std::move(resized)) {
  setObjectName(QStringLiteral("PortRow"));
  setFrameShape(QFrame::StyledPanel);
  setFont(UiFont(13));

  PortLabel = new QLabel(this);
  QFont bold = UiFont(13);
  bold.setBold(true);
  PortLabel->setFont(bold);
  DeviceLabel = new QLabel(this);
  ResultLabel = new QLabel(this);
  ResultLabel->setFont(bold);
  ResultLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  StatusLabel = new QLabel(this);
  QPalette statusPalette = StatusLabel->palette();
  statusPalette.setColor(QPalette::WindowText, statusPalette.color(QPalette::Highlight));
  StatusLabel->setPalette(statusPalette);
  RateLabel = new QLabel(this);
  RateLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  Bar = new QProgressBar(this);
  Bar->setTextVisible(false);
  Bar->setFixedHeight(16);
  ErrorLabel = new TElidedLabel(this);
  ChecklistLabel = new TElidedLabel(this);
  ChecklistLabel->setFont(UiFont(11));
  for (QLabel* label : {PortLabel, DeviceLabel, ResultLabel, StatusLabel, RateLabel,
                        static_cast<QLabel*>(ErrorLabel), static_cast<QLabel*>(ChecklistLabel)}) {
    label->setTextFormat(Qt::PlainText);
  }
  QPalette errorPalette = ErrorLabel->palette();
  errorPalette.setColor(QPalette::WindowText, QColor(0xB0, 0x00, 0x00));
  ErrorLabel->setPalette(errorPalette);

  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(8, 4, 8, 4);
  grid->setHorizontalSpacing(12);
  grid->setVerticalSpacing(2);
  grid->addWidget(PortLabel, 0, 0);
  grid->addWidget(DeviceLabel, 0, 1);
  grid->addWidget(ResultLabel, 0, 2);
  grid->addWidget(StatusLabel, 1, 0, 1, 2);
  grid->addWidget(RateLabel, 1, 2);
  grid->addWidget(Bar, 2, 0, 1, 3);
  grid->addWidget(ErrorLabel, 3, 0, 1, 3);
  grid->addWidget(ChecklistLabel, 4, 0, 1, 3);
  grid->setColumnStretch(1, 1);

  // A single click waits for the double-click time: the second click of a double-click opens the log only.
  click_ = new QTimer(this);
  click_->setSingleShot(true);
  connect(click_, &QTimer::timeout, this, [this] { ShowFullText(); });
  Reset(name);
}

void TPortRow::Reset(const std::string& name) {
  name_ = name;
  device_ = DeviceOf(name);
  baud_ = 0;
  code_ = 0;
  message_.clear();
  log_.clear();
  position_ = 0;
  max_ = 100;
  click_->stop();
  PortLabel->setText(QtText(name));
  ShowDevice();
  // Every port begins by looking for its indicator, in a whole row.
  StatusLabel->setText(QString::fromUtf8(kSearchingStatus));
  StatusLabel->show();
  RateLabel->show();
  ResultLabel->setText(QString());
  Bar->setRange(0, 100);
  Bar->setValue(0);
  Bar->hide();
  RateLabel->setText(QString());
  ShowError();
  if (logBox_) logBox_->clear();
}

void TPortRow::ShowDevice() {
  std::string text = device_;
  if (baud_ > 0) text += (text.empty() ? "" : "  ") + std::to_string(baud_) + " baud";
  DeviceLabel->setText(QtText(text));
  if (resized_) resized_();
}

void TPortRow::ShowError() {
  RowErrorText error = RowError(code_);
  if (code_ == 0 && !message_.empty()) {
    // A message that ended the update stands where an error would.
    const size_t end = message_.find_first_of("\r\n");
    error.Headline = message_.substr(0, end);
    error.Full = message_;
  }
  ErrorLabel->SetFullText(error.Headline);
  ChecklistLabel->SetFullText(error.Checklist);
  ErrorLabel->setVisible(!error.Headline.empty());
  ChecklistLabel->setVisible(!error.Checklist.empty());
  setCursor(error.Headline.empty() ? Qt::ArrowCursor : Qt::PointingHandCursor);
  if (resized_) resized_();
}

void TPortRow::ShowRate() {
  RateLabel->setText(Bar->isVisible() ? QtText(rate_.Text(position_, max_)) : QString());
}

void TPortRow::ShowFullText() {
  click_->stop();
  std::string text = RowError(code_).Full;
  if (code_ == 0) text = message_;
  if (text.empty()) return;
  tk::App().MessageBox(text, name_ + " - Update Error Message");
}

void TPortRow::OpenLog() {
  click_->stop();
  if (!logBox_) {
    logBox_ = new QPlainTextEdit(this);
    logBox_->setWindowFlags(Qt::Window);
    logBox_->setObjectName(QStringLiteral("PortLog"));
    logBox_->setReadOnly(true);
    logBox_->setLineWrapMode(QPlainTextEdit::NoWrap);
    logBox_->setFont(UiFont(13));
    logBox_->resize(600, 400);
  }
  logBox_->setWindowTitle(QtText(name_ + " - Diagnostic log"));
  QString all;
  for (size_t i = 0; i < log_.size(); ++i) all += (i ? QStringLiteral("\n") : QString()) + QtText(log_[i]);
  logBox_->setPlainText(all);
  logBox_->show();
  logBox_->raise();
  logBox_->verticalScrollBar()->setValue(logBox_->verticalScrollBar()->maximum());
}

void TPortRow::CloseLog() {
  if (logBox_) logBox_->close();
}

QWidget* TPortRow::LogWindow() const {
  return logBox_;
}

bool TPortRow::ClickPending() const {
  return click_->isActive();
}

void TPortRow::mouseReleaseEvent(QMouseEvent* event) {
  // The release that ends a double-click is no click of its own.
  const bool ofDoubleClick = std::exchange(doubleClicked_, false);
  if (event->button() == Qt::LeftButton && !ofDoubleClick && !ErrorLabel->FullText().isEmpty()) {
    click_->start(QApplication::doubleClickInterval());
  }
  QFrame::mouseReleaseEvent(event);
}

void TPortRow::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    doubleClicked_ = true;
    OpenLog();
    return;
  }
  QFrame::mouseDoubleClickEvent(event);
}

// ---- What the port reports

void TPortRow::StatusChanged(const std::string& text) {
  StatusLabel->setText(QtText(text));
  if (resized_) resized_();
}

void TPortRow::LogLinesAdded(const std::vector<std::string>& lines) {
  log_.insert(log_.end(), lines.begin(), lines.end());
  if (!logBox_ || !logBox_->isVisible()) return;
  QScrollBar* bar = logBox_->verticalScrollBar();
  const bool atEnd = bar->value() == bar->maximum();
  for (const auto& line : lines) logBox_->appendPlainText(QtText(line));
  if (atEnd) bar->setValue(bar->maximum());
}

void TPortRow::ProgressPositionChanged(int position) {
  // A count that goes back is a retry: its rate is measured anew.
  if (position < position_) rate_.Restart(position);
  position_ = position;
  Bar->setValue(std::clamp(position, Bar->minimum(), Bar->maximum()));
  ShowRate();
}

void TPortRow::ProgressMaxChanged(int max) {
  max_ = max;
  Bar->setMaximum(std::max(max, 1));
  Bar->setValue(std::clamp(position_, Bar->minimum(), Bar->maximum()));
  rate_.Restart(position_);
  ShowRate();
}

void TPortRow::ProgressVisibleChanged(bool visible) {
  if (visible && !Bar->isVisibleTo(this)) rate_.Restart(position_);
  Bar->setVisible(visible);
  ShowRate();
}

void TPortRow::PortAnswering(const std::string& name, const std::string& device, int baud) {
  // The name that keeps leading to the adapter (its by-id link) says more than the name alone.
  if (!device.empty() && device != name && device != name_) device_ = device;
  baud_ = baud;
  ShowDevice();
}

void TPortRow::ErrorChanged(uint32_t code) {
  code_ = code;
  ShowError();
}

void TPortRow::MessageShown(const std::string& text) {
  message_ = text;
  ShowError();
}

void TPortRow::Ended(const PortResult& result) {
  if (!result.Device.empty()) device_ = result.Device;
  ShowDevice();
  StatusLabel->setText(QtText(RowEndedStatus(result)));
  // A port that never opened takes one line: its name and why; it has no status or progress to show.
  const bool compact = NeverOpened(result);
  StatusLabel->setVisible(!compact);
  RateLabel->setVisible(!compact);
  if (compact) Bar->hide();
  // A reason that is the message the row already shows is not said twice.
  PortResult shown = result;
  if (!message_.empty() && shown.Reason == message_) shown.Reason.clear();
  ResultLabel->setText(QtText(RowResultText(shown)));
  QPalette palette = ResultLabel->palette();
  palette.setColor(QPalette::WindowText, result.Outcome == PortOutcome::Updated  ? QColor(0x00, 0x80, 0x00)
                                         : result.Outcome == PortOutcome::Failed ? QColor(0xB0, 0x00, 0x00)
                                                                                 : QColor(0x40, 0x40, 0x40));
  ResultLabel->setPalette(palette);
  // The rate stops with the port; what it showed last stays.
  if (resized_) resized_();
}

}  // namespace app
