// One row of the main window per port of a batch (/all): the port and the device it stands for, its status
// line, progress bar, rate and time left, result, and its error code with the checklist in one line. A click
// shows the error's full text in a message box, a double-click the port's diagnostic log in a window of its
// own: the row holds everything else, so no dialog stays open per port.
#pragma once

#include <QFrame>
#include <QLabel>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/BatchRowText.h"
#include "app/core/PortRun.h"

class QPlainTextEdit;
class QProgressBar;
class QTimer;

namespace app {

// A text of the core (UTF-8) for a widget.
inline QString QtText(const std::string& s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// A one-line label that never widens its window: a text longer than its width ends in "…" (the tooltip and
// a click on the row show it whole).
class TElidedLabel : public QLabel {
 public:
  explicit TElidedLabel(QWidget* parent) : QLabel(parent) {}
  void SetFullText(const std::string& text);
  const QString& FullText() const { return full_; }
  // What the label shows at its width.
  QString ShownText() const;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString full_;
};

class TPortRow : public QFrame, public IPortView {
 public:
  // `clockMs` measures the rate; `resized` is called when the row needs another size.
  TPortRow(const std::string& name, std::function<uint64_t()> clockMs, std::function<void()> resized,
           QWidget* parent);

  // The port starts anew in this row (a new scan): everything it showed goes.
  void Reset(const std::string& name);
  // The error's (or the ending message's) full text in a message box; nothing when there is none.
  void ShowFullText();
  // The port's diagnostic log in its own window, up to date while it stays open.
  void OpenLog();
  void CloseLog();

  const std::string& Name() const { return name_; }
  uint32_t ErrorCode() const { return code_; }
  const std::vector<std::string>& LogLines() const { return log_; }
  QWidget* LogWindow() const;
  QPlainTextEdit* LogBox() const { return logBox_; }
  bool ClickPending() const;

  QLabel* PortLabel;
  QLabel* DeviceLabel;
  QLabel* StatusLabel;
  QProgressBar* Bar;
  QLabel* RateLabel;
  QLabel* ResultLabel;
  TElidedLabel* ErrorLabel;
  TElidedLabel* ChecklistLabel;

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

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  void ShowDevice();
  void ShowError();
  void ShowRate();

  std::string name_;
  std::string device_;
  int baud_ = 0;
  uint32_t code_ = 0;
  std::string message_;
  std::vector<std::string> log_;
  int position_ = 0;
  int max_ = 100;
  RowRate rate_;
  std::function<void()> resized_;
  QTimer* click_;
  bool doubleClicked_ = false;
  QPlainTextEdit* logBox_ = nullptr;
};

}  // namespace app
