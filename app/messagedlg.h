// The error dialog: modeless, shows one numbered problem with what to check, sized to its text; Quit ends the
// program as the main window's Exit does.
#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>
#include <string>

#include "engine/Reporting.h"

class QPushButton;
class QTextEdit;
class QTimer;

namespace app {

class TErrorMessageDlg : public QDialog, public engine::IErrorDialog {
 public:
  // `quit` is the main window's Exit.
  explicit TErrorMessageDlg(std::function<void()> quit, QWidget* parent = nullptr);

  // Replaces the text with the code's message, shows the dialog and sizes it.
  void ShowErrorMessage(uint32_t code) override;
  // The reason in words after the code's lines, an empty line between; the dialog sized again.
  void ShowErrorDetail(const std::string& detail) override;
  void Hide() override { hide(); }

  void BtnQuitClick();
  void Timer1Timer();

  // The number of lines the text box holds (0 when empty), which sizes the dialog.
  int LineCount() const;
  // Height as designed, frame included.
  int OuterHeight() const;

  QPushButton* BtnQuit;
  QTextEdit* RichEdit1;
  QTimer* Timer1;
  uint32_t ShownCode = 0;
  // Told each code shown, after the dialog shows it (the main window's status says it goes on looking).
  std::function<void(uint32_t)> CodeShown;

 private:
  // Fills the box with the code's lines and the detail, and sizes the dialog to them.
  void Fill();

  std::function<void()> quit_;
  std::string detail_;
  bool placed_ = false;
};

}  // namespace app
