// The port scan, the baud rate and sending commands.
#include "engine/SerialThreadDef.h"

namespace engine {

void TSerialThread::OpenPort(int firstNumber) {
  PortNumber = firstNumber;
  Port->Close();
  serial::DelayProcessingMessages(200);
  for (int attempt = 0; attempt < 25; ++attempt) {
    Port->SetDeviceName("Com" + std::to_string(PortNumber));
    if (!Port->Connected()) Port->Open();
    if (Terminated()) return;
    if (Port->Connected()) {
      if (!Port->OpenNotice().empty()) Log(Port->OpenNotice());
      PortOpenMarks[PortNumber] = 1;
      return;
    }
    Log("\r\nCan not open Com" + std::to_string(PortNumber) + " to communicate");
    PortOpenMarks[PortNumber] = 0;
    ++PortNumber;
    if (PortNumber > 25) {
      PortNumber = 1;
      if (ErrorShown == 0) {
        bool anyOpened = false;
        for (int n = 1; n <= 25; ++n) anyOpened = anyOpened || PortOpenMarks[n] == 1;
        if (!anyOpened) {
          ShowErrorAlways(kErrorNoPort);
          Log("No serial port available in this computer");
        } else {
          ShowErrorAlways(kErrorNoIndicator);
        }
      }
    }
  }
}

void TSerialThread::SetBaud(int baud) {
  CurrentBaud = baud;
  if (baud == 9600 && Port->BaudRate() == serial::br38400) {
    Port->SetBaudRate(serial::br9600);
  } else if (baud == 38400 && Port->BaudRate() == serial::br9600) {
    Port->SetBaudRate(serial::br38400);
  }
}

void TSerialThread::SendCommand(const std::string& text) {
  if (text.empty()) {
    Stamp();
    return;
  }
  try {
    if (text.size() > kSendBufferSize) {
      // No command is near this long; refuse rather than overflow the send buffer.
      Log("Command longer than " + std::to_string(kSendBufferSize) + " bytes not sent");
      Stamp();
      return;
    }
    char buffer[kSendBufferSize];
    for (size_t i = 0; i < text.size(); ++i) {
      if (Terminated()) return;
      buffer[i] = text[i];
    }
    SetRxPos(1);
    if (Terminated()) return;
    Port->Write(buffer, static_cast<int>(text.size()));
    if (Terminated()) return;
    Log("Sending " + text + " at " + std::to_string(CurrentBaud) + " baud rate on COM" +
        std::to_string(PortNumber) + ". Timeout set to " + std::to_string(TimeoutTimer->Interval()));
  } catch (...) {
  }
  Stamp();
}

void TSerialThread::CommError(serial::TCustomComm* /*sender*/, int errors) {
  if (errors == -1) return;
  Log(serial::CommErrorText(errors) + "on " + Port->DeviceName() + " Actual error code is " +
      std::to_string(errors));
  // A port that exists but will not open deserves its reason (busy, no permission, ...); the many names
  // without any device behind them would only bury it.
  if ((errors == serial::kErrNotInstalled || errors == serial::kErrInvalidHandle) &&
      !Port->LastOpenFoundNoDevice() && !Port->LastOsError().empty()) {
    Log("  (" + Port->LastOsError() + ")");
  }
}

}  // namespace engine
