// The native batch window (under Wine's null graphics driver): four rows fed as the ports report, what each
// row shows and where, a click and a double-click on a row, and a real batch of ports that do not exist,
// scanned again and ended by Exit. Runs in the window test's program (its runtime).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/BatchRowText.h"
#include "app/core/Texts.h"
#include "toolkit/Sync.h"
#include "toolkit/win32/Text.h"
// After <windows.h>.
#include <commctrl.h>

#include "app/win32/BatchRows.h"
#include "app/win32/UpdateWindow.h"
#include "toolkit/win32/Win32Runtime.h"

namespace {

namespace fs = std::filesystem;

tk::Win32Runtime& Runtime() {
  return static_cast<tk::Win32Runtime&>(tk::App());
}

bool PumpFor(const std::function<bool()>& done, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    Runtime().ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string TextOf(HWND window) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return tk::win32::Narrow(text);
}

RECT Placed(HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class BatchWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Runtime().SetMessageBoxHandler([this](const std::string& text, const std::string& caption) {
      messages.push_back({text, caption});
    });
    form = std::make_unique<app::TUpdateForm>(app::UpdateController::Options{logDir.string(), "", false});
    dialog = std::make_unique<app::TErrorMessageDlg>([this] { form->BtnExitClick(); }, form->Window);
    form->SetErrorDialog(dialog.get());
    form->OnEnd = [this](int code) { endCode = code; };
    form->RowClock = [this] { return nowMs; };
    form->Show();
    fs::create_directories(logDir);
  }
  void TearDown() override {
    form.reset();
    dialog.reset();
    Runtime().SetMessageBoxHandler(nullptr);
    std::error_code ec;
    fs::remove_all(logDir, ec);
  }
  app::TPortRow* Row(size_t i) { return form->Rows[i].get(); }

  struct Shown {
    std::string text, caption;
  };
  fs::path logDir = fs::temp_directory_path() / ("brae-batch-" + std::to_string(std::random_device{}()));
  std::vector<Shown> messages;
  int endCode = -1;
  uint64_t nowMs = 0;
  std::unique_ptr<app::TUpdateForm> form;
  std::unique_ptr<app::TErrorMessageDlg> dialog;
};

TEST_F(BatchWindowTest, WithoutABatchThereIsNoRowAndNoScanAgain) {
  EXPECT_TRUE(form->Rows.empty());
  EXPECT_FALSE(IsWindowVisible(form->BtnScanAgain));
}

TEST_F(BatchWindowTest, FourRowsShowWhatEachPortReportsOneBelowTheOther) {
  RECT before;
  GetClientRect(form->Window, &before);
  std::vector<app::IPortView*> views;
  for (size_t i = 0; i < 4; ++i) views.push_back(form->PortAdded(i, "COM" + std::to_string(i + 1)));
  ASSERT_EQ(form->Rows.size(), 4u);
  EXPECT_TRUE(IsWindowVisible(form->BtnScanAgain));
  EXPECT_FALSE(IsWindowEnabled(form->BtnScanAgain));

  // The port's own name in another letter case, and its device path, say nothing more than the name.
  views[0]->PortAnswering("COM1", "Com1", 38400);
  views[0]->StatusChanged("Sending new firmware. This will take approximately 3 minutes.");
  views[0]->ProgressMaxChanged(60000);
  views[0]->ProgressVisibleChanged(true);
  nowMs = 2000;
  views[0]->ProgressPositionChanged(20000);
  views[1]->PortAnswering("COM2", "", 9600);
  views[1]->ErrorChanged(1);
  app::PortResult updated;
  updated.Outcome = app::PortOutcome::Updated;
  updated.Status = app::kSuccessStatus;
  views[2]->Ended(updated);
  app::PortResult none;
  none.Device = "\\\\.\\COM4";
  none.Outcome = app::PortOutcome::NoIndicator;
  none.Reason = "no answer at 9600 or 38400 baud";
  none.Status = "Indicator not found";
  views[3]->Ended(none);

  struct Expected {
    std::string port, deviceEnd, status, rate, result, error;
    bool bar, checklist;
  };
  const Expected rows[] = {
      {"COM1", "38400 baud", "Sending new firmware. This will take approximately 3 minutes.",
       "10.0 kB/s  0:04 left", "", "", true, false},
      {"COM2", "9600 baud", app::kSearchingStatus, "", "",
       "Error 1: Could not establish communications with the indicator. Please check that:", false, true},
      {"COM3", "", app::kSuccessStatus, "", "Updated", "", false, false},
      {"COM4", "", "Indicator not found", "", "No indicator: no answer at 9600 or 38400 baud", "", false,
       false},
  };
  RECT client;
  GetClientRect(form->Window, &client);
  EXPECT_GT(client.bottom, before.bottom + 4 * 40);
  int lastBottom = 0;
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(rows[i].port);
    app::TPortRow* row = Row(i);
    EXPECT_EQ(TextOf(row->PortLabel), rows[i].port);
    EXPECT_TRUE(EndsWith(TextOf(row->DeviceLabel), rows[i].deviceEnd)) << TextOf(row->DeviceLabel);
    EXPECT_EQ(TextOf(row->StatusLabel), rows[i].status);
    EXPECT_EQ(TextOf(row->RateLabel), rows[i].rate);
    EXPECT_EQ(TextOf(row->ResultLabel), rows[i].result);
    EXPECT_EQ(TextOf(row->ErrorLabel), rows[i].error);
    EXPECT_EQ(IsWindowVisible(row->ErrorLabel) != FALSE, !rows[i].error.empty());
    EXPECT_EQ(IsWindowVisible(row->ChecklistLabel) != FALSE, rows[i].checklist);
    EXPECT_EQ(IsWindowVisible(row->Bar) != FALSE, rows[i].bar);
    // Each row below the one before, inside the window; its texts whole and inside the row.
    const RECT placed = Placed(row->Window);
    EXPECT_GE(placed.top, lastBottom);
    EXPECT_LE(placed.bottom, client.bottom);
    EXPECT_LE(placed.right, client.right);
    lastBottom = placed.bottom;
    RECT inner;
    GetClientRect(row->Window, &inner);
    for (HWND label : {row->StatusLabel, row->ResultLabel, row->DeviceLabel}) {
      const RECT r = Placed(label);
      EXPECT_LE(r.right, inner.right);
      HFONT font = reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0));
      EXPECT_GE(r.right - r.left, app::MeasureText(label, font, TextOf(label)).cx) << TextOf(label);
    }
  }
  EXPECT_EQ(TextOf(Row(0)->DeviceLabel), "38400 baud");
  EXPECT_EQ(TextOf(Row(3)->DeviceLabel), "");
  EXPECT_EQ(SendMessageW(Row(0)->Bar, PBM_GETPOS, 0, 0), 20000);
  EXPECT_EQ(SendMessageW(Row(0)->Bar, PBM_GETRANGE, FALSE, 0), 60000);
  // The error going away takes its lines, and the window shrinks back.
  views[1]->ErrorChanged(0);
  EXPECT_FALSE(IsWindowVisible(Row(1)->ErrorLabel));
  RECT after;
  GetClientRect(form->Window, &after);
  EXPECT_LT(after.bottom, client.bottom);
  // 25 ports: the rows scroll inside a window that fits a 1280x800 screen; the last one comes into sight.
  for (size_t i = 4; i < 25; ++i) form->PortAdded(i, "COM" + std::to_string(i + 1));
  RECT outer;
  GetWindowRect(form->Window, &outer);
  EXPECT_LE(outer.bottom - outer.top, 800);
  EXPECT_LE(outer.right - outer.left, 1280);
  SendMessageW(form->RowsPane, WM_VSCROLL, SB_BOTTOM, 0);
  EXPECT_GT(form->RowsScrolled(), 0);
  RECT pane;
  GetClientRect(form->RowsPane, &pane);
  EXPECT_LE(Placed(Row(24)->Window).bottom, pane.bottom);
  EXPECT_GE(Placed(Row(24)->Window).top, 0);
}

TEST_F(BatchWindowTest, AClickShowsTheFullErrorAndADoubleClickTheLogAlone) {
  app::IPortView* view = form->PortAdded(0, "COM1");
  app::TPortRow* row = Row(0);
  view->LogLinesAdded({"Brae update version is 3.1c", "Can not open Com1 to communicate"});
  auto click = [&](UINT message) { SendMessageW(row->Window, message, MK_LBUTTON, MAKELPARAM(4, 4)); };

  // No error: a click does nothing.
  click(WM_LBUTTONDOWN);
  click(WM_LBUTTONUP);
  EXPECT_FALSE(row->ClickPending());

  view->ErrorChanged(1);
  click(WM_LBUTTONDOWN);
  click(WM_LBUTTONUP);
  EXPECT_TRUE(row->ClickPending());
  EXPECT_TRUE(messages.empty());
  ASSERT_TRUE(PumpFor([&] { return !messages.empty(); }, 10000));
  EXPECT_EQ(messages[0].caption, "COM1 - Update Error Message");
  EXPECT_EQ(messages[0].text, app::RowError(1).Full);

  messages.clear();
  click(WM_LBUTTONDOWN);
  click(WM_LBUTTONUP);
  click(WM_LBUTTONDBLCLK);
  click(WM_LBUTTONUP);
  ASSERT_NE(row->LogWindow(), nullptr);
  EXPECT_TRUE(IsWindowVisible(row->LogWindow()));
  EXPECT_EQ(TextOf(row->LogWindow()), "COM1 - Diagnostic log");
  EXPECT_EQ(TextOf(row->LogBox()), "Brae update version is 3.1c\r\nCan not open Com1 to communicate");
  PumpFor([] { return false; }, static_cast<int>(GetDoubleClickTime()) + 200);
  EXPECT_TRUE(messages.empty());
  view->LogLinesAdded({"Port closed"});
  EXPECT_TRUE(EndsWith(TextOf(row->LogBox()), "\r\nPort closed"));
  // Its close box destroys it; a new double-click opens another.
  SendMessageW(row->LogWindow(), WM_CLOSE, 0, 0);
  EXPECT_EQ(row->LogWindow(), nullptr);
  row->DoubleClick();
  ASSERT_NE(row->LogBox(), nullptr);
  EXPECT_TRUE(EndsWith(TextOf(row->LogBox()), "\r\nPort closed"));
}

TEST_F(BatchWindowTest, ARealBatchOfFourPortsScansAgainAndExitEndsIt) {
  const fs::path files = logDir / "files";
  fs::create_directories(files);
  std::ofstream((files / "fw.bin").string(), std::ios::binary) << std::string(1000, '\x11');
  std::ofstream((files / "ld.s19").string(), std::ios::binary) << "S00600004844521B\r\nS9030000FC\r\n";
  // Ports past the prefix's COM1 to COM25: none of them opens.
  std::vector<std::string> args = {"brae-update.exe", "/all"};
  for (int n = 41; n <= 44; ++n) args.insert(args.end(), {"/p", "COM" + std::to_string(n)});
  args.insert(args.end(), {"/i", (files / "fw.bin").string(), (files / "ld.s19").string()});
  form->FormShow(args);
  ASSERT_EQ(form->Rows.size(), 4u);
  ASSERT_TRUE(PumpFor([&] { return IsWindowEnabled(form->BtnScanAgain) != FALSE; }, 10000));
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(TextOf(Row(i)->PortLabel), "COM" + std::to_string(41 + i));
    EXPECT_EQ(TextOf(Row(i)->ResultLabel).substr(0, 7), "Skipped");
    // One line, on its real end.
    EXPECT_EQ(TextOf(Row(i)->StatusLabel), "The port did not open");
    EXPECT_FALSE(IsWindowVisible(Row(i)->StatusLabel));
  }
  EXPECT_EQ(TextOf(form->Label1), "Batch ended: 4 did not open (COM41-COM44)");
  const size_t lines = Row(3)->LogLines().size();
  SendMessageW(form->Window, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(form->BtnScanAgain), BN_CLICKED),
               reinterpret_cast<LPARAM>(form->BtnScanAgain));
  ASSERT_TRUE(PumpFor([&] { return IsWindowEnabled(form->BtnScanAgain) != FALSE; }, 10000));
  EXPECT_EQ(Row(3)->LogLines().size(), lines);

  Row(0)->OpenLog();
  form->BtnExitClick();
  EXPECT_EQ(endCode, 3);  // the round found no indicator before Exit
  EXPECT_EQ(Row(0)->LogWindow(), nullptr);
  EXPECT_FALSE(form->Visible());
}

}  // namespace
