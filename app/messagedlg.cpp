#include "app/messagedlg.h"

#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>

#include "app/Fonts.h"
#include "app/core/ErrorTexts.h"

namespace app {

namespace {
constexpr int kOuterWidth = 532;
constexpr int kOuterHeight = 135;
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
  BtnQuit->setGeometry(223, 76, 75, 25);
  BtnQuit->setDefault(true);
  connect(BtnQuit, &QPushButton::clicked, this, [this] { BtnQuitClick(); });

  RichEdit1 = new QTextEdit(this);
  RichEdit1->setObjectName(QStringLiteral("RichEdit1"));
  RichEdit1->setGeometry(8, 8, 513, 50);
  RichEdit1->setFont(UiFont(13));
  RichEdit1->setReadOnly(true);
  RichEdit1->setAcceptRichText(true);
  // Lines do not wrap, so the line count that sizes the dialog is the count of the message's lines.
  RichEdit1->setLineWrapMode(QTextEdit::NoWrap);
  RichEdit1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  RichEdit1->setFocusPolicy(Qt::NoFocus);

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(kRestoredHideMs);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
}

void TErrorMessageDlg::ShowErrorMessage(uint32_t code) {
  ShownCode = code;
  RichEdit1->clear();
  if (!placed_) {
    // In the centre of the screen the first time; afterwards wherever the user left it.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      move(screen->availableGeometry().center() - QPoint(kOuterWidth / 2, kOuterHeight / 2));
    }
    placed_ = true;
  }
  show();
  raise();

  const ErrorText text = ErrorTextFor(code);
  QTextCharFormat normal;
  normal.setFont(UiFont(13));
  QTextCharFormat heading = normal;
  heading.setFontPointSize(12);
  heading.setFontWeight(QFont::Bold);
  QTextCharFormat body = normal;
  body.setFontPointSize(10);
  body.setFontWeight(QFont::Normal);

  QTextCursor cursor(RichEdit1->document());
  for (size_t i = 0; i < text.Lines.size(); ++i) {
    const QTextCharFormat& format = !text.ProblemFormat ? normal : (i < 2 ? heading : body);
    if (i == 0) {
      cursor.setBlockCharFormat(format);
    } else {
      cursor.insertBlock(QTextBlockFormat(), format);
    }
    cursor.insertText(QString::fromUtf8(text.Lines[i]), format);
  }
  if (text.HidesItself) Timer1->start();

  const DialogGeometry g = DialogGeometryFor(LineCount());
  RichEdit1->setFixedHeight(g.TextHeight);
  setFixedHeight(g.DialogHeight - kFrameHeight);
  BtnQuit->move(BtnQuit->x(), g.QuitTop);
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
