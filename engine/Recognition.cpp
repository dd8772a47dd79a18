// Reply recognition: received bytes gather in the receive buffer, which is scanned from its end for the
// answer the current state waits for.
#include "engine/SerialThreadDef.h"

#include "engine/Protocol.h"

namespace engine {

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
  // The indicator answers on this device: a port that goes away is opened again only as this device.
  if (Port->PinnedDevice().empty() && Port->Connected()) Port->PinDevice();
  // From now on a held line is the indicator's: its writes are waited for, however long.
  answered_ = true;
  // Only a reply recognised says that an indicator is there: noise, or a device that is no indicator,
  // sends bytes too.
  if (kind != kReplyTimeout) {
    ReportAnswering();
    Advanced();
  }
  ReplyKind = kind;
  WakeEvent.Set();
}

void TSerialThread::ReportAnswering() {
  // The first answer after a command says that the indicator is on that port at that rate; a new port, or
  // a new rate on it, is worth telling.
  const PortCandidate* port =
      sentPort_ >= 1 && sentPort_ <= PortCount() ? &Candidates[static_cast<size_t>(sentPort_) - 1] : nullptr;
  if (!port || (sentPort_ == answeringPort_ && sentBaud_ == answeringBaud_)) return;
  answeringPort_ = sentPort_;
  answeringBaud_ = sentBaud_;
  const int baud = sentBaud_;
  Synchronize([&] {
    if (ProgressBar) ProgressBar->PortAnswering(port->Name, port->Device, baud);
  });
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
  if (chunk != "Z") {
    Log("Received: " + serial::StripNonPrintable(chunk) + " length: " + std::to_string(n));
  }
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
  CheckAnswered(answer);
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
        Advanced();
        Log("Non Bluetooth Con Port");
        WakeEvent.Set();
      } else if (!answer.empty()) {
        ReplyKind = kReplyBluetooth;
        Advanced();
        Log("Bluetooth Con Port");
        WakeEvent.Set();
      }
      break;
    default:
      break;
  }
  return true;
}

}  // namespace engine
