// What the main window and the error dialog show, on the offscreen platform: the diagnostic log, the
// reports, the dialog's texts and sizes, and every text whole in the faces the machine may have.
#include <QApplication>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextEdit>
#include <QTimer>

#include "app/Fonts.h"
#include "app/core/ErrorTexts.h"
#include "tests/app/window_fixture.h"

namespace {

using apptest::WindowTest;

std::string S(const QString& text) {
  return text.toStdString();
}

// ---- The diagnostic log and the reports

TEST_F(WindowTest, DiagnosticModeOpensAndClosesTheLog) {
  Start({"/b"});
  EXPECT_EQ(form->OuterHeight(), 135);
  EXPECT_EQ(form->width(), 487);
  form->BtnOpenDebug->click();
  EXPECT_TRUE(form->reditDebug->isVisible());
  EXPECT_EQ(form->reditDebug->height(), 500);
  EXPECT_EQ(form->reditDebug->geometry().bottom() + 1, form->height());
  EXPECT_EQ(form->OuterHeight(), 635);
  EXPECT_EQ(form->focusWidget(), form->BtnExit);
  form->BtnOpenDebug->click();
  EXPECT_FALSE(form->reditDebug->isVisible());
  EXPECT_EQ(form->reditDebug->height(), 0);
  EXPECT_EQ(form->OuterHeight(), 135);
  EXPECT_EQ(form->width(), 487);
}

TEST_F(WindowTest, ReportsReachTheControlsAndTheLongestStatusShowsWhole) {
  Start();
  app::UpdateController& c = C();
  c.SetProgressVisible(true);
  c.SetProgressMax(1000);
  c.SetProgressPosition(400);
  EXPECT_TRUE(form->ProgressBar->isVisible());
  EXPECT_EQ(form->ProgressBar->value(), 400);
  // The loader from a file can pass its size: the bar shows full instead of ignoring the value.
  c.SetProgressPosition(1200);
  EXPECT_EQ(form->ProgressBar->value(), 1000);
  EXPECT_EQ(c.ProgressPosition(), 1200);

  c.ApplyStatus("Sending new firmware. This will take approximately 16 minutes.");
  QLabel* label = form->Label1;
  EXPECT_GE(label->width(), label->sizeHint().width());
  EXPECT_LE(label->geometry().right(), form->width());
  c.ApplyStatus("Erasing firmware");
  EXPECT_EQ(Label(), "Erasing firmware");
  EXPECT_GE(label->width(), 211);
}

// ---- The error dialog

TEST_F(WindowTest, TheDialogSizesItselfToEachCode) {
  struct Case {
    uint32_t code;
    int lines, text, outer, quit;
    std::string detail = {};
  };
  // A detail follows its code's lines after an empty one, until the next code.
  for (const Case& k : {Case{1, 10, 200, 300, 230}, Case{4, 3, 95, 195, 125}, Case{5, 0, 50, 150, 80},
                        Case{3, 7, 155, 255, 185, "busy: held by PID 1234"}, Case{0, 0, 50, 150, 80},
                        Case{3, 5, 125, 225, 155}, Case{2, 8, 170, 270, 200, "two\nlines"}}) {
    SCOPED_TRACE(k.code);
    dialog->ShowErrorMessage(k.code);
    if (!k.detail.empty()) dialog->ShowErrorDetail(k.detail);
    const QString shown = dialog->RichEdit1->toPlainText();
    EXPECT_TRUE(k.detail.empty() || shown.endsWith(QString::fromStdString("\n\n" + k.detail))) << S(shown);
    // A text that fits has no scroll bar around it.
    EXPECT_FALSE(dialog->RichEdit1->verticalScrollBar()->isVisible());
    EXPECT_FALSE(dialog->RichEdit1->horizontalScrollBar()->isVisible());
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->ShownCode, k.code);
    EXPECT_EQ(dialog->LineCount(), k.lines);
    EXPECT_EQ(dialog->RichEdit1->height(), k.text);
    EXPECT_EQ(dialog->OuterHeight(), k.outer);
    EXPECT_EQ(dialog->BtnQuit->y(), k.quit);
    EXPECT_EQ(dialog->BtnQuit->geometry().bottom() < dialog->height(), true);
  }
  // Every line shows whole, without scrolling sideways.
  for (uint32_t code : {1u, 2u, 3u, 4u}) {
    dialog->ShowErrorMessage(code);
    EXPECT_LE(dialog->RichEdit1->document()->idealWidth(), dialog->RichEdit1->viewport()->width()) << code;
  }
  dialog->ShowErrorMessage(4);
  EXPECT_EQ(dialog->RichEdit1->document()->findBlockByNumber(2).text().toStdString(),
            "Contact Veltrona Service. service@veltrona.example");
  EXPECT_EQ(dialog->windowTitle(), "Update Error Message");
  EXPECT_TRUE(dialog->BtnQuit->isDefault());
}

TEST_F(WindowTest, WhileNoIndicatorAnswersTheWindowSaysItGoesOnLookingUntilTheEngineSaysMore) {
  Start();
  struct Step {
    uint32_t code;
    std::string status;
    bool answered, hint;
  };
  for (const Step& s :
       {Step{1, app::kSearchingStatus, false, true}, Step{2, app::kSearchingStatus, false, false},
        Step{3, app::kSearchingStatus, false, true}, Step{3, "Sending Load Program", false, false},
        Step{1, app::kSearchingStatus, true, false}}) {
    SCOPED_TRACE(s.status);
    C().ApplyStatus(s.status);
    if (s.answered) C().PortAnswering("Com1", "Com1", 9600);
    dialog->ShowErrorMessage(s.code);
    EXPECT_EQ(form->Label2->isVisible(), s.hint);
    EXPECT_EQ(Label(), s.status);  // the system's own text stays as it is
    EXPECT_EQ(form->height(), 104);
    EXPECT_LE(form->Label2->geometry().right(), form->width() - 1);
    EXPECT_GE(form->Label2->width(), form->Label2->sizeHint().width());
    EXPECT_LT(form->Label1->geometry().bottom(), form->Label2->y());
    EXPECT_LE(form->Label2->geometry().bottom(), form->BtnExit->y());
  }
}

// The windows in the face the machine prefers, and in the regular DejaVu Sans forced: the one sans face of a
// bare Debian, wider than the design's boxes allow. Every text shows whole, each box inside its window.
class WindowFontTest : public WindowTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    saved_ = app::UiFontFamilies();
    if (*GetParam()) app::UiFontFamilies() = {QString::fromUtf8(GetParam())};
    const QFontInfo face(app::UiFont(13));
    if (*GetParam() &&
        (face.family() != GetParam() || face.styleName().contains(QStringLiteral("Condensed"))))
      GTEST_SKIP() << GetParam() << " is not installed here (" << face.family().toStdString() << ")";
    WindowTest::SetUp();
  }
  void TearDown() override {
    if (form) WindowTest::TearDown();
    app::UiFontFamilies() = saved_;
  }
  // The setup script's face, in which the windows look as designed (and as in the screenshots).
  static bool Designed() {
    const QFontInfo face(app::UiFont(13));
    return face.family() == QStringLiteral("DejaVu Sans") &&
           face.styleName().contains(QStringLiteral("Condensed"));
  }
  // The caption alone, without any margin: a button narrower than this cuts it.
  static int CaptionWidth(const QPushButton* button) {
    return button->fontMetrics().horizontalAdvance(button->text());
  }
  QStringList saved_;
};

TEST_P(WindowFontTest, TheErrorDialogShowsEveryLineWhole) {
  const QTextEdit* box = dialog->RichEdit1;
  int widest = 0;
  for (uint32_t code : {0u, 1u, 2u, 3u, 4u, 17u}) {
    SCOPED_TRACE(code);
    dialog->ShowErrorMessage(code);
    const QRect text = box->geometry(), quit = dialog->BtnQuit->geometry();
    EXPECT_LE(box->document()->idealWidth(), box->viewport()->width());
    EXPECT_LE(box->document()->size().height(), box->viewport()->height());
    // Never smaller than designed, and nothing outside the dialog or on top of the text.
    EXPECT_GE(dialog->width(), 524);
    EXPECT_GE(box->height(), app::DialogGeometryFor(dialog->LineCount()).TextHeight);
    EXPECT_LE(text.right(), dialog->width() - 1);
    EXPECT_GT(quit.top(), text.bottom());
    EXPECT_LE(quit.bottom(), dialog->height() - 1);
    EXPECT_EQ(dialog->height() - quit.bottom(), 150 - 80 - 25 - app::kFrameHeight + 1);  // as designed
    EXPECT_GE(quit.width(), CaptionWidth(dialog->BtnQuit));
    if (Designed()) {
      EXPECT_EQ(dialog->width(), 524);
      EXPECT_EQ(quit, QRect(223, quit.top(), 75, 25));
    }
    widest = std::max(widest, dialog->width());
  }
  // The regular face needs more room than designed: the dialog really grew, and shrinks again for less.
  if (std::string(GetParam()) == "DejaVu Sans") {
    EXPECT_GT(widest, 524);
  }
  dialog->ShowErrorMessage(0);
  EXPECT_EQ(dialog->width(), 524);
  EXPECT_EQ(dialog->OuterHeight(), 150);
}

TEST_P(WindowFontTest, TheMainWindowShowsEveryTextWhole) {
  Show({"/b"});
  for (QPushButton* button : {form->BtnOpenDebug, form->BtnExit}) {
    EXPECT_GE(button->width(), CaptionWidth(button)) << button->text().toStdString();
    EXPECT_LE(button->geometry().right(), form->width() - 1);
  }
  EXPECT_LT(form->BtnOpenDebug->geometry().right(), form->BtnExit->x());
  if (Designed()) {
    EXPECT_EQ(form->BtnOpenDebug->width(), 97);
    EXPECT_EQ(form->BtnExit->width(), 99);
  }
  QLabel* label = form->Label1;
  for (const char* status : {"Sending new firmware. This will take approximately 16 minutes.",
                             "Erasing firmware", "Update Successful. Click on Exit to quit the program."}) {
    SCOPED_TRACE(status);
    C().ApplyStatus(status);
    EXPECT_GE(label->width(), label->sizeHint().width());
    EXPECT_LE(label->geometry().right(), form->width() - 1);
    EXPECT_GE(form->width(), 487);
    if (Designed()) {
      EXPECT_EQ(form->width(), 487);
    }
  }
  // A status far longer than any the updater shows widens the window; the log below follows it.
  C().ApplyStatus(std::string(120, 'W'));
  EXPECT_GT(form->width(), 487);
  EXPECT_LE(label->geometry().right(), form->width() - 1);
  form->BtnOpenDebug->click();
  EXPECT_EQ(form->reditDebug->width(), form->width());
  C().ApplyStatus("Erasing firmware");
  EXPECT_EQ(form->width(), 487);
  EXPECT_EQ(form->reditDebug->width(), 487);
}

INSTANTIATE_TEST_SUITE_P(Faces, WindowFontTest, ::testing::Values("", "DejaVu Sans"),
                         [](const auto& info) { return *info.param ? "DejaVuSansRegular" : "Preferred"; });

TEST_F(WindowTest, CodeTwoTwiceStartsAgainWithTheBoldHeading) {
  auto formatAt = [this](int block) {
    return dialog->RichEdit1->document()->findBlockByNumber(block).begin().fragment().charFormat();
  };
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    dialog->ShowErrorMessage(2);
    ASSERT_EQ(dialog->LineCount(), 5);
    EXPECT_EQ(dialog->RichEdit1->toPlainText().toStdString(),
              "Problem:\n\nIf problem persists, contact Veltrona Service.\n\nservice@veltrona.example");
    EXPECT_EQ(formatAt(0).fontPointSize(), 12);
    EXPECT_EQ(formatAt(0).fontWeight(), QFont::Bold);
    EXPECT_EQ(formatAt(2).fontPointSize(), 10);
    EXPECT_EQ(formatAt(2).fontWeight(), QFont::Normal);
    EXPECT_EQ(dialog->OuterHeight(), 225);
  }
  // Another code after it is in the box's own font again.
  dialog->ShowErrorMessage(4);
  EXPECT_NE(formatAt(0).fontWeight(), QFont::Bold);
  EXPECT_NE(formatAt(0).fontPointSize(), 10);
}

TEST_F(WindowTest, CommunicationRestoredHidesItselfUnlessAnotherCodeCame) {
  EXPECT_EQ(dialog->Timer1->interval(), 3000);
  dialog->Timer1->setInterval(30);  // the same path, quicker
  dialog->ShowErrorMessage(17);
  EXPECT_EQ(dialog->RichEdit1->toPlainText(), "Communication Restored.");
  EXPECT_TRUE(dialog->Timer1->isActive());
  EXPECT_TRUE(apptest::WaitUntil(
      [&] {
        QCoreApplication::processEvents();
        return !dialog->isVisible();
      },
      std::chrono::seconds(5)));
  EXPECT_FALSE(dialog->Timer1->isActive());

  dialog->ShowErrorMessage(17);
  dialog->ShowErrorMessage(1);
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 150) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_FALSE(dialog->Timer1->isActive());
}

}  // namespace
