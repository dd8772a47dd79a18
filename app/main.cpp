#include "app/main.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>
#include <algorithm>

#include "app/BatchRowText.h"
#include "app/Fonts.h"
#include "app/batchrows.h"
#include "app/messagedlg.h"
#include "toolkit/Clock.h"

namespace app {

namespace {

constexpr int kClientWidth = 487;
constexpr int kClientHeight = 104;
constexpr int kLabelWidth = 211;
constexpr int kLabelHeight = 16;
// The looking hint's line, between the status and the buttons, in the smaller font of DiagnosticMode.
constexpr int kHintTop = 57;
constexpr int kHintHeight = 13;
// A batch's window fits a 1280x800 screen with a panel: its rows scroll beyond this outer height.
constexpr int kMostOuterHeight = 760;
constexpr int kLeastRowsHeight = 120;

}  // namespace

TUpdateForm::TUpdateForm(UpdateController::Options options, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      controller_(*this, std::move(options)) {
  setObjectName(QStringLiteral("UpdateForm"));
  setFont(UiFont(13));

  Label1 = new QLabel(QtText(controller_.Status()), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  QPalette labelPalette = Label1->palette();
  labelPalette.setColor(QPalette::WindowText, labelPalette.color(QPalette::Highlight));
  Label1->setPalette(labelPalette);
  Label1->move(16, 40);

  Label2 = new QLabel(QString::fromUtf8(kLookingHint), this);
  Label2->setObjectName(QStringLiteral("Label2"));
  Label2->setFont(UiFont(11));
  Label2->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  Label2->move(16, kHintTop);
  Label2->resize(AtLeast(kLabelWidth, Label2->sizeHint().width()), kHintHeight);
  Label2->hide();

  reditDebug = new QPlainTextEdit(this);
  reditDebug->setObjectName(QStringLiteral("reditDebug"));
  reditDebug->setReadOnly(true);
  reditDebug->setLineWrapMode(QPlainTextEdit::NoWrap);
  reditDebug->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  reditDebug->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  reditDebug->hide();

  ProgressBar = new QProgressBar(this);
  ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
  ProgressBar->setGeometry(8, 16, 465, 16);
  ProgressBar->setRange(0, 100);
  ProgressBar->setValue(0);
  ProgressBar->setTextVisible(false);
  ProgressBar->hide();

  BtnOpenDebug = new QPushButton(QStringLiteral("DiagnosticMode"), this);
  BtnOpenDebug->setObjectName(QStringLiteral("BtnOpenDebug"));
  BtnOpenDebug->setFont(UiFont(11));
  BtnOpenDebug->setGeometry(53, 72, AtLeast(97, ButtonWidthFor(*BtnOpenDebug)), 25);
  BtnOpenDebug->setAutoDefault(true);
  BtnOpenDebug->hide();
  connect(BtnOpenDebug, &QPushButton::clicked, this, [this] { BtnOpenDebugClick(); });

  BtnExit = new QPushButton(QStringLiteral("Exit"), this);
  BtnExit->setObjectName(QStringLiteral("BtnExit"));
  BtnExit->setGeometry(194, 71, AtLeast(99, ButtonWidthFor(*BtnExit)), 25);
  BtnExit->setDefault(true);
  connect(BtnExit, &QPushButton::clicked, this, [this] { BtnExitClick(); });

  BtnScanAgain = new QPushButton(QStringLiteral("Scan again"), this);
  BtnScanAgain->setObjectName(QStringLiteral("BtnScanAgain"));
  BtnScanAgain->setGeometry(309, 71, AtLeast(99, ButtonWidthFor(*BtnScanAgain)), 25);
  BtnScanAgain->setEnabled(false);
  BtnScanAgain->hide();
  connect(BtnScanAgain, &QPushButton::clicked, this, [this] { BtnScanAgainClick(); });

  StatusChanged(controller_.Status());
  Layout();
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - QPoint((kClientWidth + kFrameWidth) / 2, 135 / 2));
  }
}

TUpdateForm::~TUpdateForm() {
  // The window goes first: nothing may reach it from the engine's end any more.
  ended_ = true;
  controller_.Shutdown();
}

void TUpdateForm::SetErrorDialog(TErrorMessageDlg* dialog) {
  // The dialog may go before the window does: it is let go here, never from the window's destructor.
  if (dialog_) dialog_->CodeShown = nullptr;
  dialog_ = dialog;
  controller_.SetErrorDialog(dialog);
  if (dialog) {
    dialog->CodeShown = [this](uint32_t code) {
      dialogCode_ = code;
      ShowLooking();
    };
  }
}

void TUpdateForm::ShowLooking() {
  const bool shown = !RowsBox && ShowsLookingHint(dialogCode_, answered_, status_);
  if (Label2->isVisibleTo(this) == shown) return;
  Label2->setVisible(shown);
  Layout();
}

void TUpdateForm::Layout() {
  // Not resizable: the width stays (wider only where a status needs it), the height follows the log's.
  int width = AtLeast(kClientWidth, Label1->geometry().right() + 1 + Label1->x());
  if (Label2->isVisibleTo(this)) width = std::max(width, Label2->geometry().right() + 1 + Label2->x());
  int rowsHeight = 0;
  if (RowsBox) {
    // The rows as wide as their texts need, never narrower than the window; measured now, not on the next
    // pass of the event loop, so that a row's new text never stands in an old width.
    for (TPortRow* row : Rows) {
      row->layout()->invalidate();
      row->updateGeometry();
    }
    RowsBox->layout()->invalidate();
    const QSize rows = RowsBox->sizeHint();
    // Rows beyond the screen's height scroll inside the window, beside their scroll bar.
    int most = kMostOuterHeight;
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      if (screen->availableGeometry().height() > 0)
        most = std::min(most, screen->availableGeometry().height());
    }
    const int room = std::max(kLeastRowsHeight, most - kFrameHeight - kClientHeight - debugHeight_);
    const int bar = rows.height() > room ? RowsScroll->verticalScrollBar()->sizeHint().width() : 0;
    width = std::max(width, rows.width() + bar);
    rowsHeight = std::min(rows.height(), room);
    RowsScroll->setGeometry(0, kClientHeight, width, rowsHeight);
    RowsBox->resize(width - bar, rows.height());
    RowsBox->layout()->activate();
    for (TPortRow* row : Rows) row->layout()->activate();
  }
  setFixedSize(width, kClientHeight + rowsHeight + debugHeight_);
  reditDebug->setGeometry(0, kClientHeight + rowsHeight, width, debugHeight_);
}

int TUpdateForm::OuterHeight() const {
  return height() + kFrameHeight;
}

void TUpdateForm::FormShow(const std::vector<std::string>& args) {
  controller_.FormShow(args);
}

void TUpdateForm::BtnOpenDebugClick() {
  debugShown_ = !debugShown_;
  reditDebug->setVisible(debugShown_);
  debugHeight_ = (debugHeight_ + 500) % 1000;
  Layout();
  if (debugShown_) reditDebug->verticalScrollBar()->setValue(reditDebug->verticalScrollBar()->maximum());
  BtnExit->setFocus();
}

void TUpdateForm::BtnExitClick() {
  controller_.Close();
}

void TUpdateForm::BtnScanAgainClick() {
  // Off before the scan: a port that ends at once ends the new scan inside this call, which enables it again.
  BtnScanAgain->setEnabled(false);
  controller_.ScanAgain();
}

void TUpdateForm::closeEvent(QCloseEvent* event) {
  // The close box and the window manager come here; the close is never refused.
  controller_.Close();
  event->accept();
}

void TUpdateForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    BtnExit->animateClick();
    return;
  }
  QWidget::keyPressEvent(event);
}

// ---- What the controller shows

void TUpdateForm::TitleChanged(const std::string& title) {
  setWindowTitle(QtText(title));
}

void TUpdateForm::DebugButtonShown() {
  BtnOpenDebug->show();
}

void TUpdateForm::FocusExit() {
  BtnExit->setFocus();
}

void TUpdateForm::LogLinesAdded(const std::vector<std::string>& lines) {
  if (ended_) return;
  QScrollBar* bar = reditDebug->verticalScrollBar();
  const bool atEnd = bar->value() == bar->maximum();
  // One paragraph per line after the first, empty one, so the box holds exactly the log's lines.
  QTextCursor cursor(reditDebug->document());
  cursor.movePosition(QTextCursor::End);
  cursor.beginEditBlock();
  for (const auto& line : lines) {
    cursor.insertBlock();
    cursor.insertText(QtText(line));
  }
  cursor.endEditBlock();
  if (atEnd) bar->setValue(bar->maximum());
}

void TUpdateForm::StatusChanged(const std::string& text) {
  status_ = text;
  // The engine's own status wins over a batch's end, and over the hint that it goes on looking.
  batchStatus_.clear();
  if (Label2) Label2->setVisible(!RowsBox && ShowsLookingHint(dialogCode_, answered_, status_));
  ShowStatus(text);
}

void TUpdateForm::PortAnswering(const std::string&, const std::string&, int) {
  answered_ = true;
  ShowLooking();
}

void TUpdateForm::ShowStatus(const std::string& text) {
  Label1->setText(QtText(text));
  // The status line grows with its text, never narrower than designed, so no status is ever cut.
  const QSize hint = Label1->sizeHint();
  Label1->resize(AtLeast(kLabelWidth, hint.width()), AtLeast(kLabelHeight, hint.height()));
  Layout();
}

void TUpdateForm::ShowProgressValue() {
  // The bar ignores values outside its range; a position past the end shows as full.
  ProgressBar->setValue(std::clamp(position_, ProgressBar->minimum(), ProgressBar->maximum()));
}

void TUpdateForm::ProgressPositionChanged(int position) {
  position_ = position;
  ShowProgressValue();
}

void TUpdateForm::ProgressMaxChanged(int max) {
  // A range of 0 to 0 would show a busy bar instead of an empty one.
  ProgressBar->setMaximum(std::max(max, 1));
  ShowProgressValue();
}

void TUpdateForm::ProgressVisibleChanged(bool visible) {
  ProgressBar->setVisible(visible);
}

IPortView* TUpdateForm::PortAdded(size_t index, const std::string& name) {
  if (ended_) return nullptr;
  if (!RowsBox) {
    RowsScroll = new QScrollArea(this);
    RowsScroll->setObjectName(QStringLiteral("RowsScroll"));
    RowsScroll->setFrameShape(QFrame::NoFrame);
    RowsScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    RowsScroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    RowsBox = new QWidget;
    RowsBox->setObjectName(QStringLiteral("RowsBox"));
    RowsScroll->setWidget(RowsBox);
    RowsScroll->show();
    Label2->hide();
    auto* column = new QVBoxLayout(RowsBox);
    column->setContentsMargins(8, 0, 8, 8);
    column->setSpacing(6);
    column->setSizeConstraint(QLayout::SetMinimumSize);
    RowsBox->show();
    BtnScanAgain->show();
  }
  BtnScanAgain->setEnabled(false);
  if (!batchStatus_.empty()) {
    // A new scan: the status line is the engine's again.
    batchStatus_.clear();
    ShowStatus(status_);
  }
  if (index < Rows.size()) {
    Rows[index]->Reset(name);
    return Rows[index];
  }
  auto clock = RowClock ? RowClock : [] { return static_cast<uint64_t>(tk::MonotonicUs() / 1000); };
  TPortRow* row = nullptr;
  while (Rows.size() <= index) {
    row = new TPortRow(
        Rows.size() == index ? name : std::string(), clock, [this] { Layout(); }, RowsBox);
    row->setObjectName(QStringLiteral("PortRow%1").arg(Rows.size()));
    static_cast<QVBoxLayout*>(RowsBox->layout())->addWidget(row);
    row->show();
    Rows.push_back(row);
  }
  Layout();
  return row;
}

void TUpdateForm::BatchEnded(const BatchResult& result) {
  // A new scan has something to do where a port found no indicator or was left out.
  bool again = false;
  for (const PortResult& port : result.Ports) {
    again = again || port.Outcome == PortOutcome::NoIndicator || port.Outcome == PortOutcome::Skipped;
  }
  BtnScanAgain->setEnabled(again && !controller_.Closed());
  // The status line ends on what the batch did, not on the search every port began with.
  if (ended_ || controller_.Closed()) return;
  batchStatus_ = BatchEndedStatus(result);
  ShowStatus(batchStatus_);
}

void TUpdateForm::EndProgram(int exitCode) {
  if (ended_) return;
  ended_ = true;
  if (dialog_) dialog_->hide();
  for (TPortRow* row : Rows) row->CloseLog();
  close();
  if (OnEnd) {
    OnEnd(exitCode);
  } else {
    QCoreApplication::exit(exitCode);
  }
}

void ShowMessageBox(QWidget* parent, const std::string& text, const std::string& caption) {
  QString body = QtText(text);
  body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QMessageBox box(QMessageBox::NoIcon, QtText(caption), body, QMessageBox::Ok, parent);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

}  // namespace app
