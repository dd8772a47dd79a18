#include "app/messagedlg.h"

#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <string>
#include <vector>

#include "app/Fonts.h"
#include "app/core/ErrorTexts.h"

namespace app {

namespace {
constexpr int kOuterWidth = 532;
constexpr int kOuterHeight = 135;
constexpr int kTextLeft = 8;
constexpr int kTextWidth = 513;
constexpr int kQuitLeft = 223;
constexpr int kQuitWidth = 75;
}  // namespace

TErrorMessageDlg::TErrorMessageDlg(std::function<void()> quit, QWidget* parent)
    : QDialog(parent), quit_(std::move(quit)) {
  setObjectName(QStringLiteral("ErrorMessageDlg"));
  setWindowTitle(QStringLiteral("Update Error Message"));
  setFont(UiFont(16));
  setModal(false);
  setFixedSize(kOuterWidth - kFrameWidth, kOuterHeight - kFrameHeight);

  BtnQuit = new QPushButton(QStringLiteral("Quit"), this);
  BtnQuit->setObjectName(QStringLiteral("BtnQuit"));
  BtnQuit->setGeometry(kQuitLeft, 76, AtLeast(kQuitWidth, ButtonWidthFor(*BtnQuit)), 25);
  BtnQuit->setDefault(true);
  connect(BtnQuit, &QPushButton::clicked, this, [this] { BtnQuitClick(); });

  RichEdit1 = new QTextEdit(this);
  RichEdit1->setObjectName(QStringLiteral("RichEdit1"));
  RichEdit1->setGeometry(kTextLeft, 8, kTextWidth, 50);
  RichEdit1->setFont(UiFont(13));
  RichEdit1->setReadOnly(true);
  RichEdit1->setAcceptRichText(true);
  // Lines do not wrap, so the line count that sizes the dialog is the count of the message's lines.
  RichEdit1->setLineWrapMode(QTextEdit::NoWrap);
  RichEdit1->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  RichEdit1->setFocusPolicy(Qt::NoFocus);

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(kRestoredHideMs);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
}

void TErrorMessageDlg::ShowErrorMessage(uint32_t code) {
  ShownCode = code;
  detail_.clear();
  show();
  raise();
  Fill();
  if (ErrorTextFor(code).HidesItself) Timer1->start();
  if (!placed_) {
    // In the centre of the screen the first time; afterwards wherever the user left it.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      move(screen->availableGeometry().center() -
           QPoint((this->width() + kFrameWidth) / 2, OuterHeight() / 2));
    }
    placed_ = true;
  }
  if (CodeShown) CodeShown(code);
}

void TErrorMessageDlg::ShowErrorDetail(const std::string& detail) {
  detail_ = detail;
  Fill();
}

void TErrorMessageDlg::Fill() {
  RichEdit1->clear();
  const ErrorText text = ErrorTextFor(ShownCode);
  std::vector<std::string> lines = text.Lines;
  if (!detail_.empty()) {
    lines.emplace_back();
    for (size_t from = 0;;) {
      const size_t end = detail_.find('\n', from);
      std::string line = detail_.substr(from, end == std::string::npos ? std::string::npos : end - from);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      if (end == std::string::npos) break;
      from = end + 1;
    }
  }
  QTextCharFormat normal;
  normal.setFont(UiFont(13));
  QTextCharFormat heading = normal;
  heading.setFontPointSize(12);
  heading.setFontWeight(QFont::Bold);
  QTextCharFormat body = normal;
  body.setFontPointSize(10);
  body.setFontWeight(QFont::Normal);

  QTextCursor cursor(RichEdit1->document());
  for (size_t i = 0; i < lines.size(); ++i) {
    // The detail is in the box's own font, after the code's lines whatever their format.
    const bool ofCode = i < text.Lines.size();
    const QTextCharFormat& format = !text.ProblemFormat || !ofCode ? normal : (i < 2 ? heading : body);
    if (i == 0) {
      cursor.setBlockCharFormat(format);
    } else {
      cursor.insertBlock(QTextBlockFormat(), format);
    }
    cursor.insertText(QString::fromUtf8(lines[i]), format);
  }

  // The designed sizes, grown where the font at hand needs more room: every line whole, so no scroll bar
  // stands around a text that fits (one shows only where a text does not).
  const DialogGeometry g = DialogGeometryFor(LineCount());
  QTextDocument* document = RichEdit1->document();
  const int frame = 2 * RichEdit1->frameWidth();
  const int width = AtLeast(kTextWidth, document->idealWidth() + frame);
  const int height = AtLeast(g.TextHeight, document->size().height() + frame);
  const int grownBy = width - kTextWidth;
  RichEdit1->setFixedSize(width, height);
  setFixedSize(kOuterWidth - kFrameWidth + grownBy, g.DialogHeight + (height - g.TextHeight) - kFrameHeight);
  BtnQuit->move(kQuitLeft + grownBy / 2, g.QuitTop + (height - g.TextHeight));
}

int TErrorMessageDlg::LineCount() const {
  return RichEdit1->document()->isEmpty() ? 0 : RichEdit1->document()->blockCount();
}

int TErrorMessageDlg::OuterHeight() const {
  return height() + kFrameHeight;
}

void TErrorMessageDlg::BtnQuitClick() {
  if (quit_) quit_();
}

void TErrorMessageDlg::Timer1Timer() {
  if (ShownCode == kRestoredCode) hide();
  Timer1->stop();
}

}  // namespace app
