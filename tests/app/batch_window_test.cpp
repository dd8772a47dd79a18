// The batch window on the offscreen platform: four rows fed as the ports report (statuses, progress, an
// error, an end), what each row says, a click and a double-click on a row, and a real batch of ports that
// cannot open, scanned again and ended by Exit. Runs in the window test's program (its application and
// empty port directory).
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <memory>

#include "app/BatchRowText.h"
#include "app/Fonts.h"
#include "app/batchrows.h"
#include "app/core/Texts.h"
#include "app/main.h"
#include "app/messagedlg.h"
#include "tests/app/window_fixture.h"
#include "tests/support/pty.h"
#include "toolkit/Runtime.h"

namespace {

using apptest::kLoader;
using apptest::WriteFile;

std::string S(const QString& text) {
  return text.toStdString();
}

// ---- The texts a row shows

TEST(BatchRowTextTest, TheResultSaysTheOutcomeAndWhy) {
  struct Case {
    app::PortOutcome outcome;
    std::string reason, shown;
  };
  const Case cases[] = {
      {app::PortOutcome::Running, "", ""},
      {app::PortOutcome::Updated, "", "Updated"},
      {app::PortOutcome::Failed, "the indicator stopped answering",
       "Failed: the indicator stopped answering"},
      {app::PortOutcome::Failed, "", "Failed"},
      {app::PortOutcome::NoIndicator, "no answer", "No indicator: no answer"},
      {app::PortOutcome::Skipped, "Can not open", "Skipped: Can not open"},
  };
  for (const Case& c : cases) {
    app::PortResult r;
    r.Outcome = c.outcome;
    r.Reason = c.reason;
    EXPECT_EQ(app::RowResultText(r), c.shown) << c.reason;
  }
}

TEST(BatchRowTextTest, AnErrorShowsItsCodeHeadlineAndChecklistInOneLine) {
  struct Case {
    uint32_t code;
    std::string headline, checklistStart;
    size_t items;  // "; " between items
  };
  const Case cases[] = {
      {0, "", "", 0},
      {1, "Error 1: Could not establish communications with the indicator. Please check that:",
       "The Tarn/Brae indicator is turned on or is on charge.; The serial cable", 6},
      {17, "Error 17: Communication Restored.", "", 0},
      {999, "Error 999", "", 0},
  };
  for (const Case& c : cases) {
    const app::RowErrorText t = app::RowError(c.code);
    EXPECT_EQ(t.Headline, c.headline) << c.code;
    EXPECT_EQ(t.Checklist.substr(0, c.checklistStart.size()), c.checklistStart) << c.code;
    size_t separators = 0;
    for (size_t at = t.Checklist.find("; "); at != std::string::npos; at = t.Checklist.find("; ", at + 1))
      ++separators;
    EXPECT_EQ(c.items ? separators + 1 : separators, c.items) << t.Checklist;
    EXPECT_EQ(t.Full.empty(), c.code == 0);
  }
  // An indented line goes on its item; the full text keeps every line as the dialog shows them.
  const app::RowErrorText one = app::RowError(1);
  EXPECT_NE(one.Checklist.find("free COM port on your PC. (Either CON port"), std::string::npos);
  EXPECT_EQ(one.Full.substr(0, 75),
            "Could not establish communications with the indicator. Please check that:\n\n");
  EXPECT_EQ(std::count(one.Full.begin(), one.Full.end(), '\n'), 9);
}

TEST(BatchRowTextTest, TheRateIsKnownAfterASecondAndRestartsWithATransfer) {
  uint64_t now = 0;
  app::RowRate rate([&] { return now; });
  rate.Restart(0);
  struct Step {
    uint64_t ms;
    int position, max;
    std::string shown;
  };
  const Step steps[] = {
      {500, 1000, 10000, ""},  // too early to say
      {1000, 0, 10000, ""},    // nothing counted yet
      {2000, 4000, 10000, "2.0 kB/s  0:03 left"},
      {4000, 10000, 10000, "2.5 kB/s"},  // whole: no time left
      {4000, 500, 10000, "125 B/s  1:16 left"},
  };
  for (const Step& s : steps) {
    now = s.ms;
    EXPECT_EQ(rate.Text(s.position, s.max), s.shown) << s.ms << " ms";
  }
  // A new transfer measures from its own start.
  rate.Restart(10000);  // at 4000 ms
  now = 4600;
  EXPECT_EQ(rate.Text(12000, 20000), "");
  now = 6000;
  EXPECT_EQ(rate.Text(12000, 20000), "1.0 kB/s  0:08 left");
}

// ---- The window with its rows

// The main window of a batch, on a clock of the test's own for the rows' rates.
class BatchWindowTest : public apptest::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    form->RowClock = [this] { return nowMs; };
  }

  // Runs the event loop until `done` or 10 s.
  template <typename F>
  bool SpinUntil(F done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
  }
  void Spin(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  void Click(QWidget* w, QEvent::Type type) {
    const QPointF at(5, 5);
    QMouseEvent event(type, at, w->mapToGlobal(at), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
  }

  uint64_t nowMs = 0;
};

TEST_F(BatchWindowTest, WithoutABatchTheWindowHasNoRowsAndNoScanAgain) {
  EXPECT_EQ(form->RowsBox, nullptr);
  EXPECT_TRUE(form->Rows.empty());
  EXPECT_FALSE(form->BtnScanAgain->isVisible());
  EXPECT_EQ(form->OuterHeight(), 135);
}

TEST_F(BatchWindowTest, FourRowsShowWhatEachPortReports) {
  std::vector<app::IPortView*> views;
  for (size_t i = 0; i < 4; ++i) views.push_back(form->PortAdded(i, "Com" + std::to_string(i + 1)));
  ASSERT_EQ(form->Rows.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(views[i], form->Rows[i]);
  EXPECT_TRUE(form->BtnScanAgain->isVisible());
  EXPECT_FALSE(form->BtnScanAgain->isEnabled());
  const int heightWithRows = form->height();
  EXPECT_GT(heightWithRows, 104 + 4 * 40);

  // Com1 is sending firmware, Com2 sees the indicator stop answering, Com3 is updated, Com4 found nothing.
  views[0]->StatusChanged(app::kSearchingStatus);
  views[0]->PortAnswering("Com1", "/dev/serial/by-id/usb-adapter-one", 38400);
  views[0]->StatusChanged("Sending new firmware. This will take approximately 3 minutes.");
  views[0]->ProgressMaxChanged(60000);
  views[0]->ProgressVisibleChanged(true);
  nowMs = 2000;
  views[0]->ProgressPositionChanged(20000);
  views[1]->PortAnswering("Com2", "Com2", 9600);  // a linked name: its path says more
  views[1]->ErrorChanged(1);
  views[2]->ProgressMaxChanged(100);
  views[2]->ProgressVisibleChanged(true);
  views[2]->ProgressPositionChanged(100);
  app::PortResult updated;
  updated.Port = "Com3";
  updated.Outcome = app::PortOutcome::Updated;
  updated.Status = app::kSuccessStatus;
  views[2]->StatusChanged(updated.Status);
  views[2]->Ended(updated);
  app::PortResult none;
  none.Port = "Com4";
  none.Outcome = app::PortOutcome::NoIndicator;
  none.Reason = "no answer at 9600 or 38400 baud";
  none.Status = "Indicator not found";
  views[3]->Ended(none);

  struct Row {
    std::string port, deviceEnd, status, rate, result, error;
    bool bar, checklist;
  };
  const Row rows[] = {
      {"Com1", "usb-adapter-one  38400 baud", "Sending new firmware. This will take approximately 3 minutes.",
       "10.0 kB/s  0:04 left", "", "", true, false},
      {"Com2", "com2  9600 baud", app::kSearchingStatus, "", "",
       "Error 1: Could not establish communications with the indicator. Please check that:", false, true},
      {"Com3", "com3", app::kSuccessStatus, "", "Updated", "", true, false},
      {"Com4", "com4", "Indicator not found", "", "No indicator: no answer at 9600 or 38400 baud", "", false,
       false},
  };
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(rows[i].port);
    app::TPortRow* row = form->Rows[i];
    EXPECT_EQ(S(row->PortLabel->text()), rows[i].port);
    const std::string device = S(row->DeviceLabel->text());
    EXPECT_EQ(device.substr(device.size() - std::min(device.size(), rows[i].deviceEnd.size())),
              rows[i].deviceEnd);
    EXPECT_EQ(S(row->StatusLabel->text()), rows[i].status);
    EXPECT_EQ(S(row->RateLabel->text()), rows[i].rate);
    EXPECT_EQ(S(row->ResultLabel->text()), rows[i].result);
    EXPECT_EQ(S(row->ErrorLabel->FullText()), rows[i].error);
    EXPECT_EQ(row->ErrorLabel->isVisible(), !rows[i].error.empty());
    EXPECT_EQ(row->ChecklistLabel->isVisible(), rows[i].checklist);
    EXPECT_EQ(row->Bar->isVisible(), rows[i].bar);
    // Every row as wide as the window, every status whole.
    EXPECT_GE(row->StatusLabel->width(), row->StatusLabel->sizeHint().width());
    EXPECT_GE(row->ResultLabel->width(), row->ResultLabel->sizeHint().width());
    EXPECT_LE(row->geometry().right(), form->RowsBox->width());
  }
  EXPECT_EQ(form->Rows[0]->Bar->value(), 20000);
  EXPECT_EQ(form->Rows[0]->Bar->maximum(), 60000);
  EXPECT_EQ(form->Rows[2]->Bar->value(), 100);
  // The long checklist stays in its row's width, cut with an ellipsis; its whole text is the tooltip.
  app::TPortRow* com2 = form->Rows[1];
  EXPECT_EQ(com2->ChecklistLabel->toolTip(), com2->ChecklistLabel->FullText());
  EXPECT_TRUE(com2->ChecklistLabel->ShownText().endsWith(QChar(0x2026)));
  EXPECT_LE(form->width(), 900);
  // The error going away leaves the row as before; the window shrinks back.
  const int withError = form->height();
  views[1]->ErrorChanged(0);
  EXPECT_FALSE(com2->ErrorLabel->isVisible());
  EXPECT_LT(form->height(), withError);
  // 25 ports: the rows scroll inside a window that fits a 1280x800 screen.
  for (size_t i = 4; i < 25; ++i) form->PortAdded(i, "Com" + std::to_string(i + 1));
  EXPECT_LE(form->OuterHeight(), 800);
  EXPECT_LE(form->width() + app::kFrameWidth, 1280);
  EXPECT_TRUE(form->RowsScroll->verticalScrollBar()->isVisible());
  EXPECT_GT(form->RowsBox->height(), form->RowsScroll->height());
}

TEST_F(BatchWindowTest, AClickShowsTheFullErrorAndADoubleClickTheLogAlone) {
  app::IPortView* view = form->PortAdded(0, "Com1");
  app::TPortRow* row = form->Rows[0];
  view->LogLinesAdded({"Brae update version is 3.1c", "Can not open Com1 to communicate"});

  // No error: a click does nothing.
  Click(row, QEvent::MouseButtonPress);
  Click(row, QEvent::MouseButtonRelease);
  EXPECT_FALSE(row->ClickPending());

  view->ErrorChanged(1);
  Click(row, QEvent::MouseButtonPress);
  Click(row, QEvent::MouseButtonRelease);
  EXPECT_TRUE(row->ClickPending());
  EXPECT_TRUE(messages.empty());  // not before the double-click time
  ASSERT_TRUE(SpinUntil([&] { return !messages.empty(); }));
  EXPECT_EQ(messages[0].caption, "Com1 - Update Error Message");
  EXPECT_EQ(messages[0].text, app::RowError(1).Full);

  // A double-click: the first click's message never comes, the log window opens with the port's lines.
  messages.clear();
  Click(row, QEvent::MouseButtonPress);
  Click(row, QEvent::MouseButtonRelease);
  Click(row, QEvent::MouseButtonDblClick);
  Click(row, QEvent::MouseButtonRelease);
  ASSERT_NE(row->LogWindow(), nullptr);
  EXPECT_TRUE(row->LogWindow()->isVisible());
  EXPECT_EQ(S(row->LogWindow()->windowTitle()), "Com1 - Diagnostic log");
  EXPECT_EQ(S(row->LogBox()->toPlainText()), "Brae update version is 3.1c\nCan not open Com1 to communicate");
  // The second release starts no message either.
  Spin(QApplication::doubleClickInterval() + 200);
  EXPECT_TRUE(messages.empty());
  // The open log follows the port.
  view->LogLinesAdded({"Port closed"});
  EXPECT_TRUE(row->LogBox()->toPlainText().endsWith("\nPort closed"));

  // A message that ended the port stands where the error did once the error went away.
  view->ErrorChanged(0);
  view->MessageShown("Not enough space for the firmware.\r\nIt needs 70000 bytes.");
  EXPECT_EQ(S(row->ErrorLabel->FullText()), "Not enough space for the firmware.");
  row->ShowFullText();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Not enough space for the firmware.\r\nIt needs 70000 bytes.");
}

TEST_F(BatchWindowTest, AFailureSaysItsReasonOnceAndTheDeviceStaysTheOneThatSaysMost) {
  struct Case {
    std::string message, reason, answeringDevice, result, deviceEnd;
  };
  const Case cases[] = {
      {"This indicator does not have enough space.", "This indicator does not have enough space.", "Com1",
       "Failed", "com1  38400 baud"},
      {"", "the indicator stopped answering", "/dev/serial/by-id/usb-one",
       "Failed: the indicator stopped answering", "/dev/serial/by-id/usb-one  38400 baud"},
      {"Some other message", "the update ended without the indicator's confirmation", "",
       "Failed: the update ended without the indicator's confirmation", "com1  38400 baud"},
  };
  app::IPortView* view = form->PortAdded(0, "Com1");
  for (const Case& c : cases) {
    form->PortAdded(0, "Com1");
    view->PortAnswering("Com1", c.answeringDevice, 38400);
    if (!c.message.empty()) view->MessageShown(c.message);
    app::PortResult r;
    r.Outcome = app::PortOutcome::Failed;
    r.Reason = c.reason;
    view->Ended(r);
    EXPECT_EQ(S(form->Rows[0]->ResultLabel->text()), c.result);
    EXPECT_EQ(S(form->Rows[0]->StatusLabel->text()), "Stopped; the update did not complete");
    const std::string device = S(form->Rows[0]->DeviceLabel->text());
    EXPECT_EQ(device.substr(device.size() - std::min(device.size(), c.deviceEnd.size())), c.deviceEnd);
  }
}

TEST_F(BatchWindowTest, ARowAddedAgainStartsEmpty) {
  app::IPortView* first = form->PortAdded(0, "Com1");
  form->PortAdded(1, "Com2");
  first->ErrorChanged(3);
  first->LogLinesAdded({"old line"});
  app::PortResult none;
  none.Outcome = app::PortOutcome::NoIndicator;
  first->Ended(none);
  form->BatchEnded({{none}, false, 1.0});
  EXPECT_TRUE(form->BtnScanAgain->isEnabled());

  app::IPortView* again = form->PortAdded(0, "Com1");
  EXPECT_EQ(again, first);
  EXPECT_EQ(form->Rows.size(), 2u);
  app::TPortRow* row = form->Rows[0];
  EXPECT_FALSE(form->BtnScanAgain->isEnabled());
  EXPECT_EQ(row->ErrorCode(), 0u);
  EXPECT_TRUE(row->LogLines().empty());
  EXPECT_EQ(S(row->ResultLabel->text()), "");
  EXPECT_FALSE(row->ErrorLabel->isVisible());
}

TEST_F(BatchWindowTest, ScanAgainIsEnabledOnlyWhereAPortHasSomethingToFind) {
  form->PortAdded(0, "Com1");
  struct Case {
    std::vector<app::PortOutcome> outcomes;
    bool enabled;
  };
  const Case cases[] = {
      {{app::PortOutcome::Updated}, false},
      {{app::PortOutcome::Updated, app::PortOutcome::Failed}, false},
      {{app::PortOutcome::Updated, app::PortOutcome::NoIndicator}, true},
      {{app::PortOutcome::Skipped}, true},
  };
  for (const Case& c : cases) {
    app::BatchResult result;
    for (app::PortOutcome o : c.outcomes) {
      app::PortResult r;
      r.Outcome = o;
      result.Ports.push_back(r);
    }
    form->BatchEnded(result);
    EXPECT_EQ(form->BtnScanAgain->isEnabled(), c.enabled) << c.outcomes.size();
  }
}

// A real batch: four named ports that do not exist, each skipped by its own engine.
TEST_F(BatchWindowTest, ARealBatchOfFourPortsScansAgainAndExitEndsIt) {
  WriteFile(files / "b.bin", std::string(3000, '\x22'));
  WriteFile(files / "b.s19", kLoader);
  std::vector<std::string> args = {"brae-update", "/all"};
  for (int i = 1; i <= 4; ++i) {
    args.push_back("/p");
    args.push_back(files / ("missing" + std::to_string(i)));
  }
  args.insert(args.end(), {"/i", files / "b.bin", files / "b.s19"});
  form->FormShow(args);
  ASSERT_TRUE(form->Controller().Batch());
  ASSERT_EQ(form->Rows.size(), 4u);
  ASSERT_TRUE(SpinUntil([&] { return form->BtnScanAgain->isEnabled(); }));
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    app::TPortRow* row = form->Rows[i];
    EXPECT_EQ(S(row->PortLabel->text()), files / ("missing" + std::to_string(i + 1)));
    EXPECT_EQ(S(row->ResultLabel->text()).substr(0, 7), "Skipped");
    EXPECT_FALSE(row->LogLines().empty());
    // One line, on its real end.
    EXPECT_EQ(S(row->StatusLabel->text()), "The port did not open");
    EXPECT_FALSE(row->StatusLabel->isVisibleTo(row));
  }
  EXPECT_EQ(S(form->Label1->text()), "Batch ended: 4 did not open");

  // A port that cannot open ends within its start: the new scan may be over when the click returns.
  const size_t logLines = form->Rows[3]->LogLines().size();
  form->BtnScanAgain->click();
  ASSERT_TRUE(SpinUntil([&] { return form->BtnScanAgain->isEnabled(); }));
  EXPECT_EQ(form->Rows.size(), 4u);
  EXPECT_EQ(S(form->Rows[3]->ResultLabel->text()).substr(0, 7), "Skipped");
  // Each row shows the new round's log alone.
  EXPECT_EQ(form->Rows[3]->LogLines().size(), logLines);

  form->Rows[0]->OpenLog();
  form->BtnExit->click();
  EXPECT_TRUE(form->Controller().Closed());
  EXPECT_EQ(endCode, 3);  // the round found no indicator before Exit
  EXPECT_FALSE(form->Rows[0]->LogWindow()->isVisible());
  EXPECT_FALSE(form->isVisible());
}

}  // namespace

namespace {

// Four ports that open and never answer: each engine keeps searching until Exit ends them all at once.
TEST_F(BatchWindowTest, ExitEndsEveryPortStillSearching) {
  WriteFile(files / "b.bin", std::string(3000, '\x22'));
  WriteFile(files / "b.s19", kLoader);
  std::vector<std::unique_ptr<testing_support::Pty>> lines;
  std::vector<std::string> args = {"brae-update", "/all"};
  for (int i = 0; i < 4; ++i) {
    lines.push_back(std::make_unique<testing_support::Pty>());
    ASSERT_TRUE(lines.back()->ok());
    args.push_back("/p");
    args.push_back(lines.back()->path());
  }
  args.insert(args.end(), {"/i", files / "b.bin", files / "b.s19"});
  form->FormShow(args);
  ASSERT_EQ(form->Rows.size(), 4u);
  // Every engine has asked its line for an indicator (their first steps come through the event loop).
  for (auto& line : lines) {
    std::string asked;
    for (int i = 0; i < 250 && asked.empty(); ++i) {
      Spin(20);
      asked = line->Receive(1, 5);
    }
    EXPECT_FALSE(asked.empty());
  }
  Spin(200);
  EXPECT_FALSE(form->BtnScanAgain->isEnabled());
  for (app::TPortRow* row : form->Rows) {
    EXPECT_EQ(S(row->ResultLabel->text()), "");
    EXPECT_EQ(S(row->StatusLabel->text()), app::kSearchingStatus);
  }

  QElapsedTimer t;
  t.start();
  form->BtnExit->click();
  EXPECT_LT(t.elapsed(), 1000);
  EXPECT_TRUE(form->Controller().Closed());
  EXPECT_EQ(endCode, 1);
  for (app::TPortRow* row : form->Rows) {
    EXPECT_EQ(S(row->ResultLabel->text()), "No indicator: stopped before an indicator answered");
  }
  EXPECT_FALSE(form->BtnScanAgain->isEnabled());
}

}  // namespace
