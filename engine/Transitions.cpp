// The transition table: what each state does with the reply kind the step was woken with.
#include "engine/SerialThreadDef.h"

namespace engine {

void TSerialThread::ShowErrorOnce(uint32_t code) {
  if (ErrorShown == 0) ShowErrorAlways(code);
}

void TSerialThread::ShowErrorAlways(uint32_t code) {
  if (ErrorDialog) ErrorDialog->ShowErrorMessage(code);
  ErrorShown = 1;
  // The engine stands still only while the wrong-firmware error is what shows.
  wrongFirmware_ = code == kErrorWrongFirmware;
}

void TSerialThread::HideError() {
  wrongFirmware_ = false;
  if (ErrorShown != 1) return;
  if (ErrorDialog) ErrorDialog->Hide();
  ErrorShown = 0;
}

void TSerialThread::EraseBegun() {
  ShowStatus("Erasing firmware");
  BytesSent = 0;
  UpdateProgress();
  Go(eWaitV);
  Stamp();
}

void TSerialThread::Message(const std::string& text) {
  bool shown = false;
  Synchronize([&] { shown = ProgressBar && ProgressBar->ShowMessage(text); });
  if (!shown) tk::App().MessageBox(text, "Message");
}

void TSerialThread::Ask(uint8_t state, const std::string& command) {
  Go(state);
  SendCommand(command);
}

void TSerialThread::AskAt(uint8_t state, int baud, const std::string& command) {
  Go(state);
  SetBaud(baud);
  SendCommand(command);
}

void TSerialThread::StartOverAt9600() {
  // A check ends: an indicator that answers {ZA1} and then goes quiet, again and again, is given up on as
  // no indicator (an update would keep trying until Exit).
  if (checkOnly_ && ++checkRestarts_ > kCheckRestarts) {
    Log("No answer that leads on after " + std::to_string(kCheckRestarts) + " starts on this port");
    TryNextPort(PortEnd::NoIndicator);
    return;
  }
  AskAt(eZa96Before, 9600, "{ZA1}");
}

bool TSerialThread::Retried(const std::string& command, int limit) {
  if (RetryCount >= limit) return false;
  ++RetryCount;
  SendCommand(command);
  return true;
}

void TSerialThread::ResendOr(const std::string& command, void (TSerialThread::*fallBack)(), int limit) {
  if (!Retried(command, limit)) (this->*fallBack)();
}

void TSerialThread::AskAfresh(uint8_t state, const std::string& command) {
  RetryCount = 0;
  Ask(state, command);
}

void TSerialThread::Trouble(const std::string& why) {
  ShowErrorOnce(kErrorProblem);
  Log(why);
}

void TSerialThread::BackToU(const std::string& why) {
  Trouble(why);
  AskAfresh(eSendU, "U");
}

void TSerialThread::TryNextPort(PortEnd why) {
  if (checkOnly_ && !batch_ && PortNumber >= PortCount()) {
    // A check makes one round of the ports: with no verdict on the last one, nothing answered.
    CheckEnd(CheckVerdict::NoIndicator, "No indicator answered on any port at 9600 or 38400 baud rate");
    return;
  }
  if (batch_) {
    const std::string name = Selected() ? Selected()->Name : std::string();
    EndForPort(why, why == PortEnd::Bluetooth
                        ? name + " is a Bluetooth port; it is left out of the batch"
                        : "No indicator answered on " + name + " at 9600 or 38400 baud rate");
    return;
  }
  OpenPort(PortNumber >= PortCount() ? 1 : PortNumber + 1);
  if (Terminated()) return;
  // A remote port still connecting is asked once its connection has come.
  if (Port->OpenPending()) {
    Go(eReadyOpen);
    return;
  }
  StartOverAt9600();
}

void TSerialThread::BaudPath() {
  // Every command from here on changes the indicator: the check has its verdict.
  if (checkOnly_) {
    CheckEnd(checkFirmware_ ? CheckVerdict::Fits : CheckVerdict::FitNotChecked,
             checkFirmware_ ? "firmware " + std::to_string(FirmwareSize) + " bytes, flash size " +
                                  std::to_string(FlashSize)
                            : std::string());
    return;
  }
  if (CurrentBaud == 9600 && BootFlag == 0) {
    Ask(eSebx384, "{SEBX38400}");
  } else if (CurrentBaud == 9600) {
    StartLoaderUpload();
  } else if (CurrentBaud == 38400) {
    Ask(eSeha, "{SEHA1}");
  }
}

bool TSerialThread::FlashMismatch() const {
  return (FlashSize >= 1024 && FirmwareSize < 600000) || (FlashSize < 1024 && FirmwareSize > 600000);
}

void TSerialThread::Transition() {
  const uint8_t kind = ReplyKind;
  const bool timeout = kind == kReplyTimeout;
  switch (State) {
    case eReadyOpen:
      OpenPort(Port->OpenPending() ? PortNumber : 1);
      if (Terminated()) break;
      SetBaud(9600);
      if (Port->Connected()) Ask(eZa96Before, "{ZA1}");
      break;
    case eZa96Before:
      if (kind == kReplyAck) {
        AskAfresh(eCheckPort, "{SCPC}");
        HideError();
      } else if (timeout && BootFlag == 1 && !checkOnly_) {
        Ask(eU96, "U");
      } else if (timeout) {
        AskAt(eZa384Before, 38400, "{ZA1}");
      }
      break;
    case eZa96After:
      if (kind == kReplyAck) {
        StartLoaderUpload();
      } else if (timeout) {
        Trouble(
            "Failed to communicate at 38400 baud\r\nFalling back to 9600. But still no response from {ZA1} "
            "at "
            "9600.\r\nTurn indicator off and back in or, if on charge, remove and restore.");
        Ask(eZa96Last, "{ZA1}");
      }
      break;
    case eCheckFlash:
      if (kind == kReplyAck) flashUnanswered_ = 0;
      if (checkOnly_ && !checkFirmware_) {
        // No firmware to hold the flash size against: the indicator's answers are what the check reports,
        // and a model without the command goes on as the update would.
        if (kind == kReplyAck || (timeout && ++flashUnanswered_ >= kFlashAsks)) {
          Ask(eRequestSCPVersion, "{VC}");
        } else if (timeout) {
          StartOverAt9600();
        }
      } else if (timeout && FlashSize == 0 && FlashMismatch() && ++flashUnanswered_ < kFlashAsks) {
        // No size ever came: a firmware that needs a large flash would be refused for good on a size the
        // indicator never sent. A lost answer instead, and the indicator is identified again; but one that
        // never answers it is a model without the command, which such a firmware does not suit.
        Trouble("Can not receive flash size.");
        StartOverAt9600();
      } else if (FlashMismatch()) {
        if (timeout && FlashSize == 0) {
          Log("No flash size after " + std::to_string(kFlashAsks) +
              " {VFSH} in a row: this indicator does not tell its flash size");
        }
        if (checkOnly_) {
          CheckEnd(CheckVerdict::NotAMatch, "firmware " + std::to_string(FirmwareSize) +
                                                " bytes, flash size " + std::to_string(FlashSize));
          break;
        }
        ShowErrorAlways(kErrorWrongFirmware);
      } else {
        // A size that suits (a late answer after error 4): nothing holds the engine here any more.
        wrongFirmware_ = false;
        Ask(eRequestSCPVersion, "{VC}");
      }
      break;
    case eRequestSCPVersion:
      if (kind == kReplyScpOne) {
        Ask(eRequestVersion, "{VW}");
      } else if (kind == kReplyScpHigher || timeout) {
        Ask(eTurnErrorOn, "{ZE1}");
      }
      break;
    case eRequestVersion:
      if (kind == kReplyVersionOne) {
        AskAfresh(CurrentBaud == 9600 ? eFt96 : eFt384, "{FT}");
      } else if (kind == kReplyVersionHigher) {
        Ask(eTurnErrorOn, "{ZE1}");
      } else if (timeout) {
        StartOverAt9600();
      }
      break;
    case eTurnErrorOn:
      if (kind == kReplyAck) {
        RetryCount = 0;
        Ask(eCheckHeapAddress, "{PS420004,424FFF}");
      } else if (timeout) {
        StartOverAt9600();
      }
      break;
    case eCheckHeapAddress:
      if (kind == kReplyHeapFD) {
        Ask(eRequestVersion, "{VW}");
      } else if (kind == kReplyHeapF9 && checkOnly_) {
        CheckEnd(CheckVerdict::HeapOutOfRange, "{PS420004,424FFF} answered F9");
      } else if (kind == kReplyHeapF9) {
        Message(kHeapText);
        Finish();
      } else if (kind == kReplyHeap14 && checkOnly_) {
        CheckEnd(CheckVerdict::NoSpace, "{PS420004,424FFF} answered 14");
      } else if (kind == kReplyHeap14) {
        Message(kNoSpaceText);
        Finish();
      } else if (kind == kReplyHeapOther) {
        BaudPath();
      } else if (timeout && !Retried("{PS420004,424FFF}")) {
        StartOverAt9600();
      }
      break;
    case eSendU:
      if (kind == kReplyT) {
        EraseBegun();
        HideError();
      } else if (timeout) {
        Trouble("Can not receive T.");
        // A boot loader that stays silent may have confirmed after all (its Y lost) and restarted into the
        // firmware: after a few more tries the indicator is identified again.
        ResendOr("U", &TSerialThread::StartOverAt9600, kUResends);
      }
      break;
    case eZa384Before:
      if (kind == kReplyAck) {
        AskAfresh(eCheckPort, "{SCPC}");
      } else if (timeout && checkOnly_) {
        // "U" would start an erase in a boot loader: a check asks no further where {ZA1} went unanswered.
        TryNextPort(PortEnd::NoIndicator);
      } else if (timeout) {
        Ask(eU384, "U");
      }
      break;
    case eZa96Last:
      if (kind == kReplyAck) {
        HideError();
        StartLoaderUpload();
      } else if (timeout) {
        Trouble("Failed to re-communicate at 9600.");
        Ask(eZa96Before, "{ZA1}");
      }
      break;
    case eZa384After:
      if (kind == kReplyAck) {
        Ask(eSeha, "{SEHA1}");
      } else if (timeout) {
        Ask(eZa384Retry, "{ZA1}");
      }
      break;
    case eZa384Retry:
      if (kind == kReplyAck) {
        Ask(eSeha, "{SEHA1}");
      } else if (timeout) {
        AskAt(eZa96After, 9600, "{ZA1}");
      }
      break;
    case eSebx384:
      if (kind == kReplyAck) {
        AskAt(eZa384After, 38400, "{ZA1}");
      } else if (timeout && !Retried("{SEBX38400}")) {
        StartLoaderUpload();
      }
      break;
    case eU384:
      if (kind == kReplyT) {
        EraseBegun();
      } else if (timeout) {
        AskAt(eU96, 9600, "U");
      }
      break;
    case eU96:
      if (kind == kReplyT) {
        EraseBegun();
      } else if (timeout) {
        // A batch engine's one port is no round of ports: it ends, and its result says so.
        if (!batch_ && ErrorShown == 0 && PortNumber == PortCount()) ShowErrorAlways(kErrorNoIndicator);
        TryNextPort(PortEnd::NoIndicator);
      }
      break;
    case eWaitV:
      if (kind == kReplyV) {
        Go(eWaitW);
        Stamp();
        SendFirmwareSize();
      } else if (timeout) {
        BackToU("Erasing firmware failed.");
      }
      break;
    case eFt96:
    case eFt384:
      if (kind == kReplyFtTooBig && checkOnly_) {
        CheckEnd(CheckVerdict::NoSpace, "{FT} answered 9251 or more");
      } else if (kind == kReplyFtTooBig) {
        Message(kNoSpaceText);
        Finish();
      } else if (kind == kReplyFtFits) {
        RetryCount = 0;
        BaudPath();
      } else if (timeout) {
        Trouble("This indicator does not response to check file recordes.");
        if (CurrentBaud == 38400) {
          StartOverAt9600();
        } else {
          ResendOr("{FT}", &TSerialThread::StartOverAt9600);
        }
      }
      break;
    case eSeha:
      if (kind == kReplyAck) {
        StartLoaderUpload();
      } else if (timeout) {
        ShowErrorOnce(kErrorProblem);
        if (!Retried("{SEHA1}")) {
          Log("No acknowledge to SEHA command.");
          StartOverAt9600();
        }
      }
      break;
    case eWaitW:
      if (kind == kReplyW) {
        HideError();
        Go(eSendFirmware);
        StartFirmwareTransfer();
        SendFirmwareBlock();
      } else if (timeout) {
        BackToU("Can not receive W. Sending firmware size failed.");
      }
      break;
    case eSendFirmware:
      if (kind == kReplyZ) {
        SendFirmwareBlock();
      } else if (timeout) {
        BackToU("1000 byte not acknowledge. Using time: " + std::to_string(MillisecondsSince(WaitStart)));
      }
      break;
    case eWaitX:
      if (kind == kReplyX) {
        Stamp();
        SendCrc();
        Go(eWaitY);
      } else if (timeout) {
        BackToU("Data transfer failed. Did not receive x");
      }
      break;
    case eWaitY:
      if (kind == kReplyY) {
        Succeeded = 1;
        Finish();
      } else if (timeout) {
        // A wrong CRC is worth the dialog even when it shows already.
        ShowErrorAlways(kErrorProblem);
        BackToU("Download not OK.(Already receive X,but crc not correct,did not receive y)");
      }
      break;
    case eSendPM:
      if (kind == kReplyAck) {
        Go(eUpload);
        HideError();
        SendLoaderData();
      } else if (timeout) {
        Trouble("PM not acknowledged.");
        Ask(eZa96Before, "{ZA1}");
      }
      break;
    case eUpload:
      // No step comes here while the upload runs (its own steps send the loader, and end in eWaitQ). A
      // timeout comes when it stopped short: the port went away and is back, or a step of it failed. The
      // upload starts over.
      if (timeout) StartLoaderUpload();
      break;
    case eWaitQ:
      if (kind == kReplyQ) {
        AskAfresh(eSendU, "U");
      } else if (timeout) {
        Ask(eUploadZA, "{ZA1}");
      }
      break;
    case eUploadZA:
      if (kind == kReplyAck) {
        ShowErrorAlways(kErrorProblem);
        Log("Can not receive Q but can still talk to indicator.");
        StartLoaderUpload();
      } else if (timeout) {
        Trouble("Can not receive Q and can not talk to indicator.");
        StartLoaderUpload();
      }
      break;
    case eCheckPort:
      if (kind == kReplyNotBluetooth) {
        Log("Not a bluetooth port, move on to checking flash");
        AskAfresh(eCheckFlash, "{VFSH}");
      } else if (kind == kReplyBluetooth) {
        Log("Cannot update over a bluetooth port, skipping");
        if (checkOnly_) CheckEnd(CheckVerdict::Bluetooth, std::string(), false);
        TryNextPort(PortEnd::Bluetooth);
      } else if (timeout) {
        ResendOr("{SCPC}", &TSerialThread::StartOverAt9600);
      }
      break;
    default:
      break;
  }
}

}  // namespace engine
