// What the update engine needs of the windows, as small interfaces, so that the engine builds and is tested
// without any user interface. Every call is made on the UI thread.
#pragma once

#include <cstdint>
#include <string>

#include "engine/Check.h"

namespace engine {

// The main window's diagnostic log, status line and progress bar.
class IReporter {
 public:
  virtual ~IReporter() = default;
  // Adds one line to the diagnostic log (a text with line breaks shows as several lines). May throw; the
  // engine then adds a fixed replacement line instead.
  virtual void AppendLogLine(const std::string& text) = 0;
  virtual void ApplyStatus(const std::string& text) = 0;
  virtual void SetProgressPosition(int position) = 0;
  virtual void SetProgressMax(int max) = 0;
  virtual void SetProgressVisible(bool visible) = 0;
  // The indicator answered for the first time on this port at this rate (after a command sent there). `name`
  // is the port as the technician gave it ("Com3" when the ports were scanned), `device` the name the port
  // was opened by ("Com37" for "\\.\COM37").
  virtual void PortAnswering(const std::string& /*name*/, const std::string& /*device*/, int /*baud*/) {}
  // A message for the technician that ends the update ("no space", an unreadable payload). False: the
  // engine shows it as a modal message box; a batch's port shows it in its own place instead.
  virtual bool ShowMessage(const std::string& /*text*/) { return false; }
  // The update went further than ever before in this run (an answer on the way on, bytes sent): what a
  // bound on a run without progress counts from.
  virtual void Progressed() {}
  // The identify-only check has its verdict on a port (a Bluetooth port comes on the way; the scan then
  // goes on).
  virtual void CheckDone(const CheckReport& /*report*/) {}
};

// The error dialog's messages, by code.
enum ErrorCode : uint32_t {
  kErrorNoIndicator = 1,    // no indicator answered on any port
  kErrorProblem = 2,        // the indicator stopped answering as expected
  kErrorNoPort = 3,         // no port could be opened at all
  kErrorWrongFirmware = 4,  // the firmware does not suit the indicator's flash
};

// The modeless error dialog.
class IErrorDialog {
 public:
  virtual ~IErrorDialog() = default;
  virtual void ShowErrorMessage(uint32_t code) = 0;
  // Why, in words, shown after the text of the code just shown (the reason a port the technician named did
  // not open: "busy: held by PID 1234"), until the next code. Comes right after ShowErrorMessage.
  virtual void ShowErrorDetail(const std::string& /*detail*/) {}
  virtual void Hide() = 0;
};

}  // namespace engine
