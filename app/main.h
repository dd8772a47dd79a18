// The main window: status line, progress bar, Exit, and with any command-line argument the "DiagnosticMode"
// button that opens the diagnostic log. A batch (/all) adds a row per port below, and "Scan again". Every
// decision is the controller's; the window shows what it is told and forwards the user's actions.
#pragma once

#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "app/core/UpdateController.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;

namespace app {

class TErrorMessageDlg;
class TPortRow;

class TUpdateForm : public QWidget, public IView {
 public:
  explicit TUpdateForm(UpdateController::Options options, QWidget* parent = nullptr);
  ~TUpdateForm() override;

  void SetErrorDialog(TErrorMessageDlg* dialog);
  UpdateController& Controller() { return controller_; }

  // The first showing: the start decision (args[0] is the program's path).
  void FormShow(const std::vector<std::string>& args);
  void BtnOpenDebugClick();
  void BtnExitClick();
  // Starts the ports of the batch that found no indicator again, in their rows.
  void BtnScanAgainClick();

  // Height as designed, frame included (135, or 635 with the log open).
  int OuterHeight() const;

  // IView
  void TitleChanged(const std::string& title) override;
  void DebugButtonShown() override;
  void FocusExit() override;
  void LogLinesAdded(const std::vector<std::string>& lines) override;
  void StatusChanged(const std::string& text) override;
  void PortAnswering(const std::string& name, const std::string& device, int baud) override;
  void ProgressPositionChanged(int position) override;
  void ProgressMaxChanged(int max) override;
  void ProgressVisibleChanged(bool visible) override;
  IPortView* PortAdded(size_t index, const std::string& name) override;
  void BatchEnded(const BatchResult& result) override;
  void EndProgram(int exitCode) override;

  // Milliseconds of a monotonic clock for the rows' rates; the process clock when unset. Set before a batch.
  std::function<uint64_t()> RowClock;
  // Ends the message loop when the window has closed; QCoreApplication::exit when unset.
  std::function<void(int)> OnEnd;

  QLabel* Label1;
  // Under the status while no port has an indicator: that the program goes on looking (LookingHint).
  QLabel* Label2;
  QPlainTextEdit* reditDebug;
  QProgressBar* ProgressBar;
  QPushButton* BtnOpenDebug;
  QPushButton* BtnExit;
  QPushButton* BtnScanAgain;
  // A batch's rows, in the ports' order, in RowsBox under the buttons; none without a batch.
  QWidget* RowsBox = nullptr;
  QScrollArea* RowsScroll = nullptr;  // holds RowsBox; scrolls where the rows are taller than the screen
  std::vector<TPortRow*> Rows;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Layout();
  void ShowProgressValue();
  void ShowLooking();
  void ShowStatus(const std::string& text);

  UpdateController controller_;
  TErrorMessageDlg* dialog_ = nullptr;
  int debugHeight_ = 0;
  bool debugShown_ = false;
  int position_ = 0;
  bool ended_ = false;
  std::string status_;
  uint32_t dialogCode_ = 0;  // the error dialog's last code
  bool answered_ = false;    // an indicator has answered
  std::string batchStatus_;  // a batch's end, in the status line until a new scan
};

// Shows a modal message box with one OK button over `parent`.
void ShowMessageBox(QWidget* parent, const std::string& text, const std::string& caption);

}  // namespace app
