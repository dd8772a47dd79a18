// One row of the native main window per port of a batch (/all), as in the Qt window: the port and the device
// it stands for, its status line, progress bar, rate and time left, result, and its error code with the
// checklist in one line. A click shows the error's full text in a message box, a double-click the port's
// diagnostic log in a window of its own. Include after the project's other headers (it includes <windows.h>).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/BatchRowText.h"
#include "app/core/PortRun.h"
#include "app/win32/UpdateWindow.h"

namespace app {

class TPortRow : public IPortView {
 public:
  // A child of `parent`; `clockMs` measures the rate, `resized` is called when the row needs another size.
  TPortRow(HWND parent, const std::string& name, std::function<uint64_t()> clockMs,
           std::function<void()> resized);
  ~TPortRow() override;
  TPortRow(const TPortRow&) = delete;
  TPortRow& operator=(const TPortRow&) = delete;

  // The port starts anew in this row (a new scan): everything it showed goes.
  void Reset(const std::string& name);
  // The fonts at the window's scale.
  void SetScale(const Scale& scale);
  // The width the row's texts need, whole.
  int NaturalWidth() const;
  // Places the row at `top`, `width` wide; returns its height.
  int Place(int left, int top, int width);

  // The error's (or the ending message's) full text in a message box; nothing when there is none.
  void ShowFullText();
  // The port's diagnostic log in its own window, up to date while it stays open.
  void OpenLog();
  void CloseLog();
  // A click as the mouse makes it: the full text after the double-click time, unless a second click comes.
  void Click();
  void DoubleClick();
  bool ClickPending() const { return clickPending_; }

  const std::string& Name() const { return name_; }
  uint32_t ErrorCode() const { return code_; }
  const std::vector<std::string>& LogLines() const { return log_; }
  // The log window and its edit control, or null while none is open.
  HWND LogWindow() const;
  HWND LogBox() const;
  const RowErrorText& ErrorShown() const { return error_; }

  HWND Window = nullptr;
  HWND PortLabel = nullptr;
  HWND DeviceLabel = nullptr;
  HWND ResultLabel = nullptr;
  HWND StatusLabel = nullptr;
  HWND RateLabel = nullptr;
  HWND Bar = nullptr;
  HWND ErrorLabel = nullptr;
  HWND ChecklistLabel = nullptr;

  // IPortView
  void StatusChanged(const std::string& text) override;
  void LogLinesAdded(const std::vector<std::string>& lines) override;
  void ProgressPositionChanged(int position) override;
  void ProgressMaxChanged(int max) override;
  void ProgressVisibleChanged(bool visible) override;
  void PortAnswering(const std::string& name, const std::string& device, int baud) override;
  void ErrorChanged(uint32_t code) override;
  void MessageShown(const std::string& text) override;
  void Ended(const PortResult& result) override;

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void SetText(HWND label, const std::string& text);
  void ShowDevice();
  void ShowError();
  void ShowRate();
  void Changed();

  std::string name_;
  std::string device_;
  int baud_ = 0;
  uint32_t code_ = 0;
  std::string message_;
  RowErrorText error_;
  PortOutcome outcome_ = PortOutcome::Running;
  std::vector<std::string> log_;
  int position_ = 0;
  int max_ = 100;
  bool barShown_ = false;
  bool compact_ = false;  // one line: the port never opened
  RowRate rate_;
  std::function<void()> resized_;
  Scale scale_;
  HFONT font_ = nullptr;
  HFONT bold_ = nullptr;
  HFONT small_ = nullptr;
  bool clickPending_ = false;
  bool doubleClicked_ = false;
  HWND logWindow_ = nullptr;
};

}  // namespace app
