// The updater's window and its error dialog in native Win32 controls: the same controller, texts, sizes and
// behaviour as the Qt window on Linux. Sizes are the design's pixels at 96 DPI, scaled to the window's
// monitor; a text that needs more room than designed (measured in the font at hand) widens its control.
// Include after the project's other headers (it includes <windows.h>).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/core/UpdateController.h"
#include "engine/Reporting.h"
#include "toolkit/win32/Text.h"

namespace app {

// A window's fonts and pixel scale at one DPI.
class Scale {
 public:
  explicit Scale(unsigned dpi = 96) : dpi_(dpi) {}
  unsigned Dpi() const { return dpi_; }
  int operator()(int designed) const { return MulDiv(designed, static_cast<int>(dpi_), 96); }

 private:
  unsigned dpi_;
};

// The DPI of the monitor a window is on (96 where the system cannot say).
unsigned DpiOf(HWND window);
// The font of the windows at a design pixel size, scaled; the caller deletes it.
HFONT NewUiFont(int pixelSize, const Scale& scale, bool bold = false);
// The width and height `text` takes in `font`, each line measured; lines split at "\r\n" or "\n".
SIZE MeasureText(HWND window, HFONT font, const std::string& text);

class TErrorMessageDlg : public engine::IErrorDialog {
 public:
  // `quit` is the main window's Exit; `owner` keeps the dialog above the main window.
  TErrorMessageDlg(std::function<void()> quit, HWND owner);
  ~TErrorMessageDlg() override;
  TErrorMessageDlg(const TErrorMessageDlg&) = delete;
  TErrorMessageDlg& operator=(const TErrorMessageDlg&) = delete;

  // Replaces the text with the code's message, shows the dialog and sizes it to the text.
  void ShowErrorMessage(uint32_t code) override;
  // The reason in words after the code's lines, an empty line between; the dialog sized again.
  void ShowErrorDetail(const std::string& detail) override;
  void Hide() override;

  void BtnQuitClick();
  void Timer1Timer();
  // The number of lines the text box holds (0 when empty), which sizes the dialog.
  int LineCount() const { return lineCount_; }
  bool Visible() const;

  HWND Window = nullptr;
  HWND RichEdit1 = nullptr;
  HWND BtnQuit = nullptr;
  uint32_t ShownCode = 0;
  // Told each code shown, after the dialog shows it (the main window's status says it goes on looking).
  std::function<void(uint32_t)> CodeShown;

 private:
  // Fills the box with the code's lines and the detail, and sizes the dialog to them.
  void Fill();
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void MakeFonts();
  void Layout();
  void FormatRange(LRESULT from, LRESULT to, bool bold, int twips);

  std::function<void()> quit_;
  Scale scale_;
  HFONT font_ = nullptr;      // the dialog's (the button's)
  HFONT textFont_ = nullptr;  // the message's
  HFONT headingFont_ = nullptr;
  HFONT bodyFont_ = nullptr;
  std::string text_;
  std::vector<std::string> lines_;
  std::string detail_;
  size_t codeLines_ = 0;  // lines_ up to the detail
  bool problemFormat_ = false;
  int lineCount_ = 0;
  bool placed_ = false;
};

class TPortRow;

// The main window; a batch (/all) adds a row per port below it, and "Scan again".
class TUpdateForm : public IView {
 public:
  explicit TUpdateForm(UpdateController::Options options);
  ~TUpdateForm() override;
  TUpdateForm(const TUpdateForm&) = delete;
  TUpdateForm& operator=(const TUpdateForm&) = delete;

  void SetErrorDialog(TErrorMessageDlg* dialog);
  UpdateController& Controller() { return controller_; }
  void Show();

  // The first showing: the start decision (args[0] is the program's path).
  void FormShow(const std::vector<std::string>& args);
  void BtnOpenDebugClick();
  void BtnExitClick();
  // Starts the ports of the batch that found no indicator again, in their rows.
  void BtnScanAgainClick();
  bool Visible() const;

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

  // Ends the message loop when the window has closed (PostQuitMessage when unset).
  std::function<void(int)> OnEnd;
  // Milliseconds of a monotonic clock for the rows' rates; the process clock when unset. Set before a batch.
  std::function<uint64_t()> RowClock;

  HWND Window = nullptr;
  HWND Label1 = nullptr;
  // Under the status while no port has an indicator: that the program goes on looking (kLookingHint).
  HWND Label2 = nullptr;
  HWND reditDebug = nullptr;
  HWND ProgressBar = nullptr;
  HWND BtnOpenDebug = nullptr;
  HWND BtnExit = nullptr;
  HWND BtnScanAgain = nullptr;
  // A batch's rows, in the ports' order, in RowsPane under the buttons; none without a batch.
  std::vector<std::unique_ptr<TPortRow>> Rows;
  // Holds the rows; scrolls them where they are taller than the screen allows.
  HWND RowsPane = nullptr;
  // Scrolls the rows to `position` pixels from their top (kept inside their range).
  void ScrollRows(int position);
  int RowsScrolled() const { return scrolled_; }

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void MakeFonts();
  void Layout();
  void ShowProgressValue();
  void ShowLooking();
  void ShowStatus(const std::string& text);
  // The child window the rows scroll in (app/win32/batch_rows.cpp).
  HWND NewRowsPane();
  static LRESULT CALLBACK PaneProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  UpdateController controller_;
  TErrorMessageDlg* dialog_ = nullptr;
  Scale scale_;
  HFONT font_ = nullptr;
  HFONT buttonFont_ = nullptr;
  std::string status_;
  int debugHeight_ = 0;
  bool debugShown_ = false;
  int position_ = 0;
  int max_ = 100;
  bool ended_ = false;
  std::string shownStatus_;  // what Label1 shows: the status, or a batch's end
  std::string batchStatus_;  // a batch's end, in the status line until a new scan
  uint32_t dialogCode_ = 0;  // the error dialog's last code
  bool answered_ = false;    // an indicator has answered
  int scrolled_ = 0;         // the rows' scroll position
  int rowsRoom_ = 0;         // the rows' visible height
  int rowsTotal_ = 0;        // the rows' whole height
};

// Enter presses the default button and Tab moves between the controls of the program's windows, in the
// runtime's own message loop; installed for the calling thread while it lives.
class KeyboardNavigation {
 public:
  KeyboardNavigation();
  ~KeyboardNavigation();
  KeyboardNavigation(const KeyboardNavigation&) = delete;
  KeyboardNavigation& operator=(const KeyboardNavigation&) = delete;

 private:
  HHOOK hook_ = nullptr;
};

}  // namespace app
