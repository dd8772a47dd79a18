#include "engine/SerialThreadDef.h"

#include <array>
#include <chrono>
#include <climits>
#include <cmath>
#include <stdexcept>
#include <thread>

namespace engine {

const char* const StateNames[kStateCount] = {
    "eReadyOpen",
    "eZa96Before",
    "eZa96After",
    "eCheckFlash",
    "eRequestSCPVersion",
    "eRequestVersion",
    "eTurnErrorOn",
    "eCheckHeapAddress",
    "eSendU",
    "eZa384Before",
    "eZa96Last",
    "eZa384After",
    "eZa384Retry",
    "eSebx384",
    "eU384",
    "eU96",
    "eWaitV",
    "eFt96",
    "eFt384",
    "eSeha",
    "eWaitW",
    "eSendFirmware",
    "eWaitX",
    "eWaitY",
    "eSendPM",
    "eUpload",
    "eWaitQ",
    "eUploadZA",
    "eCheckPort",
};

namespace {

constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    uint16_t c = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit)
      c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
    table[static_cast<size_t>(i)] = c;
  }
  return table;
}

const char* const kNoSpace =
    "This indicator does not have enough space. Delete some files in the indicator first.";

}  // namespace

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

int32_t ReadReplyInteger(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) return -1;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return -1;
    }
    value = value * base + digit;
    if (value > static_cast<int64_t>(INT32_MAX) + 1) return -1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return -1;
  return static_cast<int32_t>(value);
}

bool IsHexText(const std::string& text) {
  if (text.empty() || text.size() > 6) return true;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// ---- Life
// ------------------------------------------------------------------------------------------------------

TSerialThread::TSerialThread(IReporter* progressBar, IErrorDialog* errorDialog)
    : ProgressBar(progressBar), ErrorDialog(errorDialog) {
  BootFlag = 0;
  State = eReadyOpen;
  RxPos = 1;
  Port = std::make_unique<serial::TSerialPort>();
  Port->OnRxChar = [this](serial::TCustomComm* sender, int count) { RxCharReceived(sender, count); };
  Port->OnError = [this](serial::TCustomComm* sender, int errors) { CommError(sender, errors); };
  Port->SetFlowControl(serial::fcSoftware);
  // The port is still closed: both calls end in its "not open" report, which CommError logs.
  Port->SetDTR(true);
  Port->SetRTS(true);
  TimeoutTimer = tk::App().NewTimer();
  TimeoutTimer->SetOnTimer([this] { TimeoutTimerFired(); });
  PollTimer = tk::App().NewTimer();
  PollTimer->SetEnabled(false);
  PollTimer->SetOnTimer([this] { PollTimerFired(); });
  StartThread(tk::Priority::Highest);
}

TSerialThread::~TSerialThread() {
  // The driver thread may still wait for a wake-up that will never come: wake it so that it can end.
  Terminate();
  WakeEvent.Set();
  // It may also be waiting for the UI thread to take a step that was queued before: let that call through (it
  // does nothing now), or the two threads would wait for each other.
  while (!Finished()) {
    if (tk::Installed() && tk::App().InUiThread()) tk::App().ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  WaitFor();
  TimeoutTimer.reset();
  PollTimer.reset();
  if (Port) {
    Port->OnRxChar = nullptr;
    Port->OnError = nullptr;
    Port->Close();
  }
}

void TSerialThread::Execute() {
  while (!Terminated()) {
    if (!WakeEvent.Wait(tk::kInfinite)) continue;
    WakeEvent.Reset();
    if (Terminated()) break;
    // No step after Finish, even one that was already on its way. False once the UI loop has gone.
    if (!Synchronize([this] {
          if (!Terminated()) Step();
        }))
      break;
  }
}

void TSerialThread::Start(int bootFlag) {
  BootFlag = bootFlag;
  Synchronize([this] { Step(); });
}

void TSerialThread::Finish() {
  if (Port && Port->Connected()) Port->DetachEvents();
  TimeoutTimer->SetOnTimer(nullptr);
  TimeoutTimer->SetEnabled(false);
  PollTimer->SetOnTimer(nullptr);
  PollTimer->SetEnabled(false);
  if (OnFinished) {
    auto handler = OnFinished;
    handler(this);
  }
  Terminate();
}

void TSerialThread::RxCharReceived(serial::TCustomComm* /*sender*/, int /*count*/) {
  if (Terminated()) return;
  try {
    ParseReply();
  } catch (...) {
    // The bytes stay in the buffer; the timeout takes its course.
  }
}

void TSerialThread::PollTimerFired() {
  RxCharReceived(nullptr, 0);
}

void TSerialThread::TimeoutTimerFired() {
  if (Terminated()) return;
  ReplyKind = kReplyTimeout;
  WakeEvent.Set();
}

// ---- The step
// --------------------------------------------------------------------------------------------------

int64_t TSerialThread::MillisecondsSince(double dateTime) const {
  // Halves round to even, as the platform's default rounding does.
  return static_cast<int64_t>(std::nearbyint((tk::App().Now() - dateTime) * 86400000.0));
}

void TSerialThread::Step() {
  // Steps never nest. A step that processes messages (the loader upload, the port scan's pause) can let the
  // driver's next step in when it was itself not handed over by the driver (the first step, run by Start):
  // that one then follows the running step instead of running inside it.
  if (inStep_) {
    stepPending_ = true;
    return;
  }
  inStep_ = true;
  PollTimer->SetEnabled(false);
  TimeoutTimer->SetEnabled(false);
  if (ReplyKind == kReplyTimeout) {
    Log(std::string("Timeout in state ") + StateNames[State]);
  } else {
    Log("Receive using time: " + std::to_string(MillisecondsSince(WaitStart)) + ". In state of " +
        StateNames[State]);
  }
  if (!Terminated()) {
    try {
      Transition();
    } catch (const std::exception& e) {
      // The timers below still arm: the state's timeout retries, instead of the engine standing still.
      Log(std::string("Step failed: ") + e.what());
    } catch (...) {
      Log("Step failed");
    }
    ArmTimers();
  }
  inStep_ = false;
  if (stepPending_) {
    stepPending_ = false;
    if (!Terminated()) WakeEvent.Set();
  }
}

void TSerialThread::ArmTimers() {
  uint32_t interval = 1000;
  switch (State) {
    case eSendU:
      interval = 2000;
      break;
    case eWaitV:
    case eWaitQ:
      interval = 30000;
      break;
    case eWaitW:
      interval = 3000;
      break;
    case eSendFirmware:
      interval = 6000;
      break;
    default:
      break;
  }
  TimeoutTimer->SetInterval(interval);
  PollTimer->SetInterval(interval - 200);
  TimeoutTimer->SetEnabled(!(State == eCheckFlash && ErrorShown != 0));
  PollTimer->SetEnabled(TimeoutTimer->Enabled());
}

void TSerialThread::Stamp() {
  WaitStart = tk::App().Now();
}

void TSerialThread::ShowErrorOnce(uint32_t code) {
  if (ErrorShown == 0) ShowErrorAlways(code);
}

void TSerialThread::ShowErrorAlways(uint32_t code) {
  if (ErrorDialog) ErrorDialog->ShowErrorMessage(code);
  ErrorShown = 1;
}

void TSerialThread::HideError() {
  if (ErrorShown != 1) return;
  if (ErrorDialog) ErrorDialog->Hide();
  ErrorShown = 0;
}

void TSerialThread::EraseBegun() {
  ShowStatus("Erasing firmware");
  BytesSent = 0;
  UpdateProgress();
}

void TSerialThread::Message(const std::string& text) {
  tk::App().MessageBox(text, "Message");
}

void TSerialThread::TryNextPort() {
  OpenPort(PortNumber == 25 ? 1 : PortNumber + 1);
  SetBaud(9600);
  Go(eZa96Before);
  SendCommand("{ZA1}");
}

void TSerialThread::BaudPath() {
  if (CurrentBaud == 9600 && BootFlag == 0) {
    Go(eSebx384);
    SendCommand("{SEBX38400}");
  } else if (CurrentBaud == 9600) {
    StartLoaderUpload();
  } else if (CurrentBaud == 38400) {
    Go(eSeha);
    SendCommand("{SEHA1}");
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
      OpenPort(1);
      SetBaud(9600);
      if (Port->Connected()) {
        Go(eZa96Before);
        SendCommand("{ZA1}");
      }
      break;
    case eZa96Before:
      if (kind == kReplyAck) {
        Go(eCheckPort);
        SendCommand("{SCPC}");
        HideError();
      } else if (timeout && BootFlag == 1) {
        Go(eU96);
        SendCommand("U");
      } else if (timeout) {
        Go(eZa384Before);
        SetBaud(38400);
        SendCommand("{ZA1}");
      }
      break;
    case eZa96After:
      if (kind == kReplyAck) {
        StartLoaderUpload();
      } else if (timeout) {
        ShowErrorOnce(2);
        Log("Failed to communicate at 38400 baud\r\nFalling back to 9600. But still no response from {ZA1} "
            "at "
            "9600.\r\nTurn indicator off and back in or, if on charge, remove and restore.");
        Go(eZa96Last);
        SendCommand("{ZA1}");
      }
      break;
    case eCheckFlash:
      if (FlashMismatch()) {
        ShowErrorAlways(4);
      } else {
        Go(eRequestSCPVersion);
        SendCommand("{VC}");
      }
      break;
    case eRequestSCPVersion:
      if (kind == kReplyScpOne) {
        Go(eRequestVersion);
        SendCommand("{VW}");
      } else if (kind == kReplyScpHigher || timeout) {
        Go(eTurnErrorOn);
        SendCommand("{ZE1}");
      }
      break;
    case eRequestVersion:
      if (kind == kReplyVersionOne) {
        Go(CurrentBaud == 9600 ? eFt96 : eFt384);
        SendCommand("{FT}");
      } else if (kind == kReplyVersionHigher) {
        Go(eTurnErrorOn);
        SendCommand("{ZE1}");
      } else if (timeout) {
        Go(eZa96Before);
        SetBaud(9600);
        SendCommand("{ZA1}");
      }
      break;
    case eTurnErrorOn:
      if (kind == kReplyAck) {
        RetryCount = 0;
        Go(eCheckHeapAddress);
        SendCommand("{PS420004,424FFF}");
      } else if (timeout) {
        Go(eZa96Before);
        SetBaud(9600);
        SendCommand("{ZA1}");
      }
      break;
    case eCheckHeapAddress:
      if (kind == kReplyHeapFD) {
        Go(eRequestVersion);
        SendCommand("{VW}");
      } else if (kind == kReplyHeapF9) {
        Message("Start, End address outside heap");
        Finish();
      } else if (kind == kReplyHeap14) {
        Message(kNoSpace);
        Finish();
      } else if (kind == kReplyHeapOther) {
        BaudPath();
      } else if (timeout) {
        if (RetryCount >= 2) {
          Go(eZa96Before);
          SetBaud(9600);
          SendCommand("{ZA1}");
        } else {
          ++RetryCount;
          SendCommand("{PS420004,424FFF}");
        }
      }
      break;
    case eSendU:
      if (kind == kReplyT) {
        EraseBegun();
        HideError();
        Go(eWaitV);
        Stamp();
      } else if (timeout) {
        ShowErrorOnce(2);
        Log("Can not receive T.");
        SendCommand("U");
      }
      break;
    case eZa384Before:
      if (kind == kReplyAck) {
        Go(eCheckPort);
        SendCommand("{SCPC}");
      } else if (timeout) {
        Go(eU384);
        SendCommand("U");
      }
      break;
    case eZa96Last:
      if (kind == kReplyAck) {
        HideError();
        StartLoaderUpload();
      } else if (timeout) {
        ShowErrorOnce(2);
        Log("Failed to re-communicate at 9600.");
        Go(eZa96Before);
        SendCommand("{ZA1}");
      }
      break;
    case eZa384After:
      if (kind == kReplyAck) {
        Go(eSeha);
        SendCommand("{SEHA1}");
      } else if (timeout) {
        Go(eZa384Retry);
        SendCommand("{ZA1}");
      }
      break;
    case eZa384Retry:
      if (kind == kReplyAck) {
        Go(eSeha);
        SendCommand("{SEHA1}");
      } else if (timeout) {
        Go(eZa96After);
        SetBaud(9600);
        SendCommand("{ZA1}");
      }
      break;
    case eSebx384:
      if (kind == kReplyAck) {
        SetBaud(38400);
        Go(eZa384After);
        SendCommand("{ZA1}");
      } else if (timeout) {
        if (RetryCount >= 2) {
          StartLoaderUpload();
        } else {
          ++RetryCount;
          SendCommand("{SEBX38400}");
        }
      }
      break;
    case eU384:
      if (kind == kReplyT) {
        EraseBegun();
        Go(eWaitV);
        Stamp();
      } else if (timeout) {
        Go(eU96);
        SetBaud(9600);
        SendCommand("U");
      }
      break;
    case eU96:
      if (kind == kReplyT) {
        EraseBegun();
        Go(eWaitV);
        Stamp();
      } else if (timeout) {
        if (ErrorShown == 0 && PortNumber == 25) ShowErrorAlways(1);
        TryNextPort();
      }
      break;
    case eWaitV:
      if (kind == kReplyV) {
        Go(eWaitW);
        Stamp();
        Log("FirmwareSize is :  " + std::to_string(FirmwareSize));
        const uint8_t size[4] = {static_cast<uint8_t>(FirmwareSize), static_cast<uint8_t>(FirmwareSize >> 8),
                                 static_cast<uint8_t>(FirmwareSize >> 16),
                                 static_cast<uint8_t>(FirmwareSize >> 24)};
        Port->Write(size, 4);
      } else if (timeout) {
        ShowErrorOnce(2);
        Log("Erasing firmware failed.");
        Go(eSendU);
        SendCommand("U");
      }
      break;
    case eFt96:
    case eFt384:
      if (kind == kReplyFtTooBig) {
        Message(kNoSpace);
        Finish();
      } else if (kind == kReplyFtFits) {
        RetryCount = 0;
        BaudPath();
      } else if (timeout) {
        ShowErrorOnce(2);
        Log("This indicator does not response to check file recordes.");
        if (CurrentBaud == 38400) {
          SetBaud(9600);
          Go(eZa96Before);
          SendCommand("{ZA1}");
        }
      }
      break;
    case eSeha:
      if (kind == kReplyAck) {
        StartLoaderUpload();
      } else if (timeout) {
        ShowErrorOnce(2);
        if (RetryCount >= 2) {
          Log("No acknowledge to SEHA command.");
          Go(eZa96Before);
          SetBaud(9600);
          SendCommand("{ZA1}");
        } else {
          ++RetryCount;
          SendCommand("{SEHA1}");
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
        ShowErrorOnce(2);
        Log("Can not receive W. Sending firmware size failed.");
        Go(eSendU);
        SendCommand("U");
      }
      break;
    case eSendFirmware:
      if (kind == kReplyZ) {
        SendFirmwareBlock();
      } else if (timeout) {
        ShowErrorOnce(2);
        Log("1000 byte not acknowledge. Using time: " + std::to_string(MillisecondsSince(WaitStart)));
        Go(eSendU);
        SendCommand("U");
      }
      break;
    case eWaitX:
      if (kind == kReplyX) {
        Stamp();
        const uint8_t crc[2] = {static_cast<uint8_t>(Crc), static_cast<uint8_t>(Crc >> 8)};
        Port->Write(crc, 2);
        Log("Send out crc is: " + std::to_string(Crc) + " " + std::to_string(Crc >> 8));
        Go(eWaitY);
      } else if (timeout) {
        ShowErrorOnce(2);
        Log("Data transfer failed. Did not receive x");
        Go(eSendU);
        SendCommand("U");
      }
      break;
    case eWaitY:
      if (kind == kReplyY) {
        Succeeded = 1;
        Finish();
      } else if (timeout) {
        ShowErrorAlways(2);
        Log("Download not OK.(Already receive X,but crc not correct,did not receive y)");
        Go(eSendU);
        SendCommand("U");
      }
      break;
    case eSendPM:
      if (kind == kReplyAck) {
        Go(eUpload);
        HideError();
        SendLoaderData();
      } else if (timeout) {
        ShowErrorOnce(2);
        Log("PM not acknowledged.");
        Go(eZa96Before);
        SendCommand("{ZA1}");
      }
      break;
    case eUpload:
      break;  // left again within the step that began the upload
    case eWaitQ:
      if (kind == kReplyQ) {
        Go(eSendU);
        SendCommand("U");
      } else if (timeout) {
        Go(eUploadZA);
        SendCommand("{ZA1}");
      }
      break;
    case eUploadZA:
      if (kind == kReplyAck) {
        ShowErrorAlways(2);
        Log("Can not receive Q but can still talk to indicator.");
        StartLoaderUpload();
      } else if (timeout) {
        ShowErrorOnce(2);
        Log("Can not receive Q and can not talk to indicator.");
        StartLoaderUpload();
      }
      break;
    case eCheckPort:
      if (kind == kReplyNotBluetooth) {
        Log("Not a bluetooth port, move on to checking flash");
        Go(eCheckFlash);
        SendCommand("{VFSH}");
      } else if (kind == kReplyBluetooth) {
        Log("Cannot update over a bluetooth port, skipping");
        TryNextPort();
      }
      break;
    default:
      break;
  }
}

// ---- Reply recognition
// -----------------------------------------------------------------------------------------

void TSerialThread::SetRxPos(int value) {
  if (value > kRxBufferSize) {
    RxPos = 1;
  } else if (value < 1) {
    RxPos = kRxBufferSize;
  } else {
    RxPos = value;
  }
}

void TSerialThread::TakeOut(int from, int length) {
  // The bytes behind the block move forward over it.
  for (int i = from; i + length < RxPos; ++i) RxBuffer[i] = RxBuffer[i + length];
  SetRxPos(RxPos - length);
}

void TSerialThread::Recognised(uint8_t kind) {
  ReplyKind = kind;
  WakeEvent.Set();
}

void TSerialThread::ParseReply() {
  uint8_t bytes[kRxBufferSize];
  const int n = Port->Read(bytes, kRxBufferSize);
  if (n < 1 || Terminated()) return;
  ProcessChunk(bytes, n);
}

void TSerialThread::ProcessChunk(const uint8_t* bytes, int n) {
  if (n < 1) return;
  for (int i = 0; i < n; ++i) {
    if (Terminated()) return;
    RxBuffer[RxPos] = bytes[i];
    SetRxPos(RxPos + 1);
  }
  const std::string chunk(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
  if (chunk[0] == 'Q' && State == eSendFirmware) {
    Recognised(kReplyTimeout);
    return;
  }
  if (chunk != "Z") Log("Received: " + serial::StripNonPrintable(chunk) + " length: " + std::to_string(n));
  for (int p = RxPos - 1; p >= 1; --p) {
    if (Terminated()) return;
    if (RecognisedAt(p, chunk)) return;
  }
}

bool TSerialThread::RecognisedAt(int p, const std::string& chunk) {
  const uint8_t b = RxBuffer[p];
  auto letter = [&](char c, uint8_t kind) {
    if (b != static_cast<uint8_t>(c) && chunk.find(c) == std::string::npos) return false;
    TakeOut(p, 1);
    Recognised(kind);
    return true;
  };
  auto single = [&](char c, uint8_t kind) {
    if (b != static_cast<uint8_t>(c)) return false;
    TakeOut(p, 1);
    Recognised(kind);
    return true;
  };
  switch (State) {
    case eReadyOpen:
      return false;
    case eZa96Before:
    case eZa96After:
    case eTurnErrorOn:
    case eZa384Before:
    case eZa96Last:
    case eZa384After:
    case eZa384Retry:
    case eSebx384:
    case eSeha:
    case eSendPM:
    case eUploadZA:
      return single('^', kReplyAck);
    case eSendU:
    case eU384:
    case eU96:
      return letter('T', kReplyT);
    case eWaitV:
      return letter('V', kReplyV);
    case eWaitW:
      return letter('W', kReplyW);
    case eSendFirmware:
      return letter('Z', kReplyZ);
    case eWaitX:
      return letter('X', kReplyX);
    case eWaitY:
      return letter('Y', kReplyY);
    case eWaitQ:
      return letter('Q', kReplyQ);
    case eUpload:
      return single('B', kReplyB) || single('D', kReplyD);
    case eCheckFlash:
    case eRequestSCPVersion:
    case eRequestVersion:
    case eCheckHeapAddress:
    case eFt96:
    case eFt384:
    case eCheckPort:
      break;
    default:
      return false;
  }
  // Bracket rule: a closing bracket at p, paired with the nearest opening bracket before it (either kind).
  if (b != ']' && b != ')') return false;
  int o = p - 1;
  while (o >= 1 && RxBuffer[o] != '[' && RxBuffer[o] != '(') --o;
  if (o < 1) return false;
  const std::string answer(reinterpret_cast<const char*>(RxBuffer + o + 1), static_cast<size_t>(p - o - 1));
  TakeOut(o, p - o + 1);
  const uint8_t first = answer.empty() ? 0 : static_cast<uint8_t>(answer[0]);
  switch (State) {
    case eCheckFlash:
      FlashSize = ReadReplyInteger(answer);
      Recognised(kReplyAck);
      break;
    case eRequestSCPVersion:
      if (first == '1') Recognised(kReplyScpOne);
      if (first > '1') Recognised(kReplyScpHigher);
      break;
    case eRequestVersion:
      if (first == '1') Recognised(kReplyVersionOne);
      if (first > '1') Recognised(kReplyVersionHigher);
      break;
    case eCheckHeapAddress:
      if (answer == "FD") {
        Recognised(kReplyHeapFD);
      } else if (answer == "F9") {
        Recognised(kReplyHeapF9);
      } else if (answer == "14") {
        Recognised(kReplyHeap14);
      } else if (IsHexText(answer)) {
        Recognised(kReplyHeapOther);
      }
      break;
    case eFt96:
    case eFt384: {
      const int32_t v = ReadReplyInteger(answer);
      if (v >= 9251) {
        Recognised(kReplyFtTooBig);
      } else if (v <= 9249 && v != -1) {
        Recognised(kReplyFtFits);
      }
      break;
    }
    case eCheckPort:
      if (first == '0' || first == '1') {
        ReplyKind = kReplyNotBluetooth;
        Log("Non Bluetooth Con Port");
        WakeEvent.Set();
      } else if (!answer.empty()) {
        ReplyKind = kReplyBluetooth;
        Log("Bluetooth Con Port");
        WakeEvent.Set();
      }
      break;
    default:
      break;
  }
  return true;
}

// ---- Port scan and sending
// -------------------------------------------------------------------------------------

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
          ShowErrorAlways(3);
          Log("No serial port available in this computer");
        } else {
          ShowErrorAlways(1);
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

// ---- Reporting
// -------------------------------------------------------------------------------------------------

void TSerialThread::Log(const std::string& text) {
  LogText = text;
  Synchronize([this] { AppendLogLine(); });
}

void TSerialThread::AppendLogLine() {
  if (!ProgressBar) return;
  try {
    ProgressBar->AppendLogLine(LogText);
  } catch (...) {
    ProgressBar->AppendLogLine("Insert to richedit error.");
  }
}

void TSerialThread::ReportUnlessStopped(const std::function<void(IReporter&)>& report) {
  // Once the engine has been told to stop, the status line and the bar keep what they show; only Log goes on.
  Synchronize([&] {
    if (!Terminated() && ProgressBar) report(*ProgressBar);
  });
}

void TSerialThread::ShowStatus(const std::string& text) {
  StatusText = text;
  ReportUnlessStopped([this](IReporter& r) { r.ApplyStatus(StatusText); });
}

void TSerialThread::UpdateProgress() {
  ReportUnlessStopped([this](IReporter& r) { r.SetProgressPosition(BytesSent); });
}

void TSerialThread::SetProgressMax() {
  ReportUnlessStopped([this](IReporter& r) { r.SetProgressMax(ProgressMax); });
}

void TSerialThread::ShowProgressBar() {
  ReportUnlessStopped([this](IReporter& r) { r.SetProgressVisible(ProgressVisible != 0); });
}

// ---- Payload files
// ---------------------------------------------------------------------------------------------

void TSerialThread::ReadFirmwareByte() {
  Synchronize([this] { FileReadCount = Files ? Files->ReadFirmwareByte(&NextByte) : 0; });
}

void TSerialThread::ReadLoaderByte() {
  Synchronize([this] { FileReadCount = Files ? Files->ReadLoaderByte(&NextByte) : 0; });
}

void TSerialThread::RewindFirmwareFile() {
  Synchronize([this] {
    if (Files) Files->RewindFirmwareFile();
  });
}

void TSerialThread::RewindLoaderFile() {
  Synchronize([this] {
    if (Files) Files->RewindLoaderFile();
  });
}

void TSerialThread::PayloadFailed(const std::string& what, const std::exception& e) {
  // Retrying cannot mend an unreadable payload file: say so and end the update instead of waiting forever.
  Log(what + ": " + e.what());
  Message(what + ":\n" + e.what());
  Finish();
}

// ---- Loader upload
// ---------------------------------------------------------------------------------------------

void TSerialThread::StartLoaderUpload() {
  Log("Sending S19 loader. FileSize:" + std::to_string(LoaderSize));
  if (RunMode == 4) {
    try {
      RewindLoaderFile();
    } catch (const std::exception& e) {
      PayloadFailed("Can not read the loader file", e);
      return;
    }
  }
  Go(eSendPM);
  SendCommand("{PM}");
}

void TSerialThread::SendLoaderData() {
  ShowStatus("Sending Load Program");
  ProgressVisible = 1;
  ShowProgressBar();
  ProgressMax = static_cast<int32_t>(LoaderSize);
  SetProgressMax();
  BytesSent = 0;
  tk::Runtime& app = tk::App();
  if (RunMode == 4) {
    try {
      ReadLoaderByte();
      while (FileReadCount != 0 && !Terminated()) {
        app.ProcessMessages();
        if (Terminated()) return;
        Port->Write(&NextByte, 1);
        if (BytesSent % 1000 == 0) UpdateProgress();
        ReadLoaderByte();
        ++BytesSent;
      }
    } catch (const std::exception& e) {
      PayloadFailed("Can not read the loader file", e);
      return;
    }
  } else {
    const uint32_t limit = LoaderSize;
    for (int line = 0; line < 1000; ++line) {
      app.ProcessMessages();
      if (Terminated()) return;
      if (static_cast<uint32_t>(BytesSent) >= limit) break;
      for (int column = 0; column < 64; ++column) {
        if (Terminated()) return;
        if (static_cast<uint32_t>(BytesSent) >= limit) break;
        const uint8_t byte = LoaderData ? LoaderData[line * 64 + column] : 0xFF;
        Port->Write(&byte, 1);
        if (BytesSent % 1000 == 0) UpdateProgress();
        ++BytesSent;
      }
    }
  }
  if (Terminated()) return;
  ProgressVisible = 0;
  ShowProgressBar();
  Log("Actually send out s19 file size is  " + std::to_string(BytesSent));
  Go(eWaitQ);
  Stamp();
  // The indicator may have answered Q while the last lines were still being sent, when messages were
  // processed in eUpload, which does not look for it. Without another byte nothing would scan the buffer
  // again, and the update would stand for the whole 30 s timeout and upload the loader again.
  for (int p = RxPos - 1; p >= 1 && !Terminated(); --p) {
    if (RecognisedAt(p, std::string())) break;
  }
}

// ---- Firmware transfer
// -----------------------------------------------------------------------------------------

void TSerialThread::CrcUpdate(uint8_t byte) {
  Crc = static_cast<uint16_t>(kCrcTable[(Crc ^ byte) & 0xFF] ^ (Crc >> 8));
}

void TSerialThread::StartFirmwareTransfer() {
  Crc = 0;
  FirmwareLine = 1;
  FirmwareColumn = 0;
  BytesSent = 0;
  UpdateProgress();
  ProgressVisible = 1;
  ShowProgressBar();
  ProgressMax = static_cast<int32_t>(FirmwareSize);
  SetProgressMax();
  const bool big = FirmwareSize >= 600000;
  const char* minutes = CurrentBaud == 9600 ? (big ? "16" : "8") : (big ? "5" : "3");
  ShowStatus(std::string("Sending new firmware. This will take approximately ") + minutes + " minutes.");
  if (RunMode >= 3) {
    try {
      RewindFirmwareFile();
    } catch (const std::exception& e) {
      PayloadFailed("Can not read the firmware file", e);
      return;
    }
  }
  Port->SetFlowControl(serial::fcNone);
}

void TSerialThread::AddFirmwareByte() {
  ++BytesSent;
  CrcUpdate(NextByte);
  const int slot = BytesSent % kBlockSize == 0 ? kBlockSize : BytesSent % kBlockSize;
  BlockBuffer[slot - 1] = NextByte;
  if (BytesSent % 5000 == 0) UpdateProgress();
}

void TSerialThread::SendFullBlock() {
  try {
    if (Terminated()) return;
    Port->Write(BlockBuffer, kBlockSize);
    if (Terminated()) return;
    Port->Write(&kBlockMarker, 1);
    Stamp();
    TimeoutTimer->SetEnabled(true);
  } catch (...) {
  }
}

void TSerialThread::SendFirmwareBlock() {
  if (Terminated()) return;
  try {
    if (RunMode == 0) {
      while (!Terminated() && static_cast<uint32_t>(BytesSent) < FirmwareSize && FirmwareLine <= 16384 &&
             FirmwareColumn <= 64) {
        if (++FirmwareColumn == 65) {
          FirmwareColumn = 1;
          ++FirmwareLine;
        }
        if (FirmwareLine > 16384) break;
        NextByte = FirmwareData ? FirmwareData[(FirmwareLine - 1) * 64 + (FirmwareColumn - 1)] : 0xFF;
        AddFirmwareByte();
        if (BytesSent % kBlockSize == 0) {
          SendFullBlock();
          return;
        }
      }
    } else {
      bool endOfFile = false;
      do {
        ReadFirmwareByte();
        if (FileReadCount > 0) {
          AddFirmwareByte();
          if (BytesSent % kBlockSize == 0) {
            SendFullBlock();
            return;
          }
        }
        endOfFile = FileReadCount == 0;
      } while (!endOfFile && static_cast<uint32_t>(BytesSent) < FirmwareSize && !Terminated());
      // The announced size is made even and kept off a multiple of 1000, so it can pass the file's end by a
      // few bytes. The indicator waits for every announced byte: send the erased-flash value for the rest, as
      // the embedded buffer's fill does.
      while (endOfFile && static_cast<uint32_t>(BytesSent) < FirmwareSize && !Terminated()) {
        NextByte = 0xFF;
        AddFirmwareByte();
        if (BytesSent % kBlockSize == 0) {
          SendFullBlock();
          return;
        }
      }
    }
    if (Terminated()) return;
    const int rest = BytesSent % kBlockSize;
    if (rest > 0) Port->Write(BlockBuffer, rest);
  } catch (const std::exception& e) {
    // Swallowed, and the transfer ends as if the image were complete; the log keeps the reason.
    Log(std::string("Can not read the firmware file: ") + e.what());
  } catch (...) {
  }
  if (Terminated()) return;
  Stamp();
  Go(eWaitX);
}

}  // namespace engine
