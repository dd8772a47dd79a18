// The two transfers: the loader upload and the firmware transfer, and the payload reads they make.
#include "engine/SerialThreadDef.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "engine/Protocol.h"

namespace engine {

int TSerialThread::ReadPayload(IPayloadSource* source, uint8_t* out, int max) {
  int n = 0;
  Synchronize([&] { n = source ? source->Read(out, max) : 0; });
  return n;
}

void TSerialThread::RewindPayload(IPayloadSource* source) {
  Synchronize([&] {
    if (source) source->Rewind();
  });
}

void TSerialThread::PayloadFailed(const std::string& what, const std::exception& e) {
  // Retrying cannot mend an unreadable payload file: say so and end the update instead of waiting forever.
  Log(what + ": " + e.what());
  Message(what + ":\n" + e.what());
  Finish();
}

// ---- Loader upload

void TSerialThread::StartLoaderUpload() {
  Log("Sending S19 loader. FileSize:" + std::to_string(LoaderSize));
  try {
    RewindPayload(LoaderSource);
  } catch (const std::exception& e) {
    PayloadFailed("Can not read the loader file", e);
    return;
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
  upload_ = LoaderUpload{};
  upload_.active = true;
  upload_.losses = portLosses_;
  upload_.tick = tk::App().TickCount();
  upload_.realUs = tk::MonotonicUs();
  ContinueLoaderUpload();
}

void TSerialThread::UploadTimerFired() {
  UploadTimer->SetEnabled(false);
  if (Terminated() || !upload_.active) return;
  // A step of this engine that runs the loop (a write's wait) finishes first.
  if (inStep_) {
    NextUploadStep(1);
    return;
  }
  inStep_ = true;
  try {
    ContinueLoaderUpload();
  } catch (const std::exception& e) {
    upload_.active = false;
    Log(std::string("Step failed: ") + e.what());
  } catch (...) {
    upload_.active = false;
    Log("Step failed");
  }
  // An upload that stopped short (a failed step, a lost port) has the state's timeout start it over.
  if (!upload_.active && State == eUpload && !Terminated()) ArmTimers();
  inStep_ = false;
  // A step asked for during the upload ran after it, not inside it.
  if (!upload_.active && stepPending_) {
    stepPending_ = false;
    if (!Terminated()) WakeEvent.Set();
  }
}

void TSerialThread::NextUploadStep(int64_t ms) {
  UploadTimer->SetEnabled(false);
  UploadTimer->SetInterval(static_cast<uint32_t>(std::clamp<int64_t>(ms, 1, kLoaderPaceWaitMs)));
  UploadTimer->SetEnabled(true);
}

void TSerialThread::ContinueLoaderUpload() {
  // Gone (or even back again) during the upload: the reopen starts it over. Exit ends it.
  if (Terminated() || portLosses_ != upload_.losses || PortAway()) {
    upload_.active = false;
    return;
  }
  if (writePending_ && !LoaderBytesDone()) return;
  // The look may have found the port gone.
  if (Terminated() || portLosses_ != upload_.losses || PortAway()) {
    upload_.active = false;
    return;
  }
  if (upload_.ended) {
    EndLoaderUpload();
    return;
  }
  // What the line's pace allows, up to kLoaderStepBytes, goes in one write: a real UART completes a write
  // once its bytes are on the line, so a write a byte would wait for every byte.
  uint8_t chunk[kLoaderStepBytes];
  int n = 0;
  int64_t nextMs = 1;
  try {
    for (;;) {
      if (upload_.pieceAt == upload_.pieceLen) {
        if (n == kLoaderStepBytes) break;
        upload_.pieceLen = ReadPayload(LoaderSource, upload_.piece, kLoaderPieceBytes);
        upload_.pieceAt = 0;
        upload_.paced = false;
        if (upload_.pieceLen == 0) {
          upload_.ended = true;
          break;
        }
      }
      if (!upload_.paced) {
        // With nothing gathered yet, the step waits until the line has room for a whole step (or the rest):
        // a step for every piece would wake the loop every piece's line time, 16 ms at 38400.
        const int64_t rest = int64_t{LoaderSize} - BytesSent;
        const int64_t want =
            n == 0 ? std::max<int64_t>(upload_.pieceLen, std::min<int64_t>(kLoaderStepBytes, rest))
                   : upload_.pieceLen;
        const int64_t waitMs = LineWaitMs(int64_t{BytesSent} + n + want);
        if (waitMs > 0) {
          nextMs = waitMs;
          break;
        }
        upload_.paced = true;
      }
      const int take = std::min(upload_.pieceLen - upload_.pieceAt, kLoaderStepBytes - n);
      std::memcpy(chunk + n, upload_.piece + upload_.pieceAt, static_cast<size_t>(take));
      n += take;
      upload_.pieceAt += take;
      if (n == kLoaderStepBytes) break;
    }
  } catch (const std::exception& e) {
    upload_.active = false;
    PayloadFailed("Can not read the loader file", e);
    return;
  } catch (...) {
    upload_.active = false;
    throw;
  }
  if (n > 0) {
    WriteLoaderBytes(chunk, n);
    if (Terminated() || portLosses_ != upload_.losses) {
      upload_.active = false;
      return;
    }
    for (int i = 0; i < n; ++i) {
      if (BytesSent % 1000 == 0) UpdateProgress();
      ++BytesSent;
    }
    // Held: the bytes go once the line takes them (the indicator lets it go), and their end brings the next
    // step.
    if (writePending_) {
      ArmHeldTimer();
      return;
    }
  }
  if (upload_.ended) {
    EndLoaderUpload();
    return;
  }
  NextUploadStep(nextMs);
}

void TSerialThread::EndLoaderUpload() {
  upload_.active = false;
  ProgressVisible = 0;
  ShowProgressBar();
  Log("Actually send out s19 file size is  " + std::to_string(BytesSent));
  Go(eWaitQ);
  Stamp();
  ArmTimers();
  // The indicator may have answered Q while the last lines were still being sent, when messages were
  // processed in eUpload, which does not look for it. Without another byte nothing would scan the buffer
  // again, and the update would stand for the whole 30 s timeout and upload the loader again.
  for (int p = RxPos - 1; p >= 1 && !Terminated(); --p) {
    if (RecognisedAt(p, std::string())) break;
  }
}

int64_t TSerialThread::LineBytesSinceUpload() const {
  // The runtime's counter is the clock tests move; the monotonic clock bounds a wait on a counter that does
  // not move at all. The line never carries less than the later of the two allows.
  const int64_t tickMs = static_cast<uint32_t>(tk::App().TickCount() - upload_.tick);
  const int64_t realMs = (tk::MonotonicUs() - upload_.realUs) / 1000;
  // Ten bits a byte: start, eight data, stop.
  return std::max(tickMs, realMs) * CurrentBaud / 10000;
}

int64_t TSerialThread::LineWaitMs(int64_t upTo) const {
  // A real port's writes block once its driver's queue is full, so the bar follows the line. A
  // pseudo-terminal takes the whole loader at once and the indicator then reads it for seconds: here the
  // upload keeps the line's pace itself.
  if (CurrentBaud <= 0) return 0;
  const int64_t ahead = upTo - LineBytesSinceUpload() - kLoaderLeadBytes;
  return ahead <= 0 ? 0 : ahead * 10000 / CurrentBaud + 1;
}

void TSerialThread::WriteLoaderBytes(const uint8_t* bytes, int count) {
  // An indicator that holds the line with XOFF keeps the write pending: its bytes go once the indicator lets
  // the line go (XON), never dropped, which would corrupt the S-record text. The upload waits for them in
  // steps of its own, not here.
  if (PortAway()) return;
  WriteAll(bytes, count);
}

bool TSerialThread::LoaderBytesDone() {
  if (WriteGone()) return true;
  ArmHeldTimer();
  return false;
}

// ---- Writes

void TSerialThread::SayLineHeld() {
  const PortCandidate* port = Selected();
  const std::string name = port ? port->Name : Port->DeviceName();
  if (!answered_) {
    // Nothing has answered there: whatever holds the line is no indicator of ours, and must not hold the
    // scan.
    Log(name + " holds the line (XOFF) and no indicator has answered there; its held bytes are dropped");
    return;
  }
  Log("The indicator holds the line (XOFF) on " + name + "; waiting for it to take the bytes");
  held_.shown = ErrorShown == 0;
  ShowErrorOnce(kErrorProblem);
}

bool TSerialThread::WriteAll(const void* data, int count) {
  if (writePending_ && !WriteGone()) {
    // A second write of one step: the rest of the first goes first. Unanswered, that rest is dropped.
    if (answered_) {
      queuedOut_.append(static_cast<const char*>(data), static_cast<size_t>(count));
      return false;
    }
    DropHeldWrite();
  }
  if (Port->Write(data, count) >= 0) return true;  // done, or failed (reported through CommError)
  if (!Port->Connected()) return false;
  writePending_ = true;
  // A serial driver completes a write once its bytes have left: at 9600 baud a block takes over a second.
  const bool step = held_.step;
  held_ = HeldWrite{};
  held_.sinceUs = tk::MonotonicUs();
  held_.limitMs = (CurrentBaud > 0 ? int64_t{count} * 10000 / CurrentBaud : 0) + kWriteTimeoutMs;
  held_.step = step;
  return false;
}

int64_t TSerialThread::HeldMs() const {
  return (tk::MonotonicUs() - held_.sinceUs) / 1000;
}

bool TSerialThread::WriteGone() {
  if (!writePending_) return true;
  if (Port->WaitWrite(0) == 0) return false;
  writePending_ = false;
  HeldTimer->SetEnabled(false);
  if (held_.shown) HideError();
  held_.past = held_.shown = false;
  if (baudAfterWrite_ != 0) {
    const int baud = baudAfterWrite_;
    baudAfterWrite_ = 0;
    SetBaud(baud);
  }
  if (!queuedOut_.empty()) {
    const std::string rest = std::move(queuedOut_);
    queuedOut_.clear();
    if (!PortAway() && !WriteAll(rest.data(), static_cast<int>(rest.size())) && writePending_) return false;
  }
  return true;
}

void TSerialThread::ArmHeldTimer() {
  // Nothing to look for: the write's end comes as an event. Only the moment it counts as held is timed.
  HeldTimer->SetEnabled(false);
  if (held_.past || !writePending_) return;
  HeldTimer->SetInterval(static_cast<uint32_t>(std::max<int64_t>(1, held_.limitMs - HeldMs())));
  HeldTimer->SetEnabled(true);
}

bool TSerialThread::StepHeldByWrite() {
  held_.step = false;
  if (WriteGone()) return false;
  if (!answered_ && HeldMs() >= held_.limitMs) {
    DropHeldWrite();
    ReplyKind = kReplyTimeout;
    return false;
  }
  // The state's timeout waits for an answer to bytes that have not gone yet: it starts once they have.
  TimeoutTimer->SetEnabled(false);
  PollTimer->SetEnabled(false);
  held_.step = true;
  ArmHeldTimer();
  return true;
}

void TSerialThread::DropHeldWrite() {
  SayLineHeld();
  Port->PurgeOutput();
  ForgetHeldWrite();
}

void TSerialThread::ForgetHeldWrite() {
  writePending_ = false;
  queuedOut_.clear();
  baudAfterWrite_ = 0;
  HeldTimer->SetEnabled(false);
  held_ = HeldWrite{};
}

void TSerialThread::HeldTimerFired() {
  HeldTimer->SetEnabled(false);
  if (Terminated() || PortAway() || WriteGone()) {
    WriteDone();
    return;
  }
  if (!answered_) {
    // Held past its time where nothing has answered: the scan goes on.
    DropHeldWrite();
    ReplyKind = kReplyTimeout;
    WakeEvent.Set();
    return;
  }
  // A hold beyond the write's time would leave the technician before a still window: say so, as for an
  // answer that does not come. The bytes still go once the indicator lets them.
  held_.past = true;
  if (ErrorShown == 0) SayLineHeld();
}

void TSerialThread::WriteDone() {
  if (Terminated() || !WriteGone()) return;
  if (upload_.active) {
    // Its next step goes on with the bytes gone.
    if (!UploadTimer->Enabled()) NextUploadStep(1);
    return;
  }
  if (!held_.step) return;
  held_.step = false;
  // A timeout that came while the command was held is no missing answer: the wait for it begins now.
  if (ReplyKind == kReplyTimeout && answered_) {
    ArmTimers();
  } else {
    WakeEvent.Set();
  }
}

// ---- Firmware transfer

void TSerialThread::CrcUpdate(uint8_t byte) {
  Crc = CrcAdd(Crc, byte);
}

void TSerialThread::StartFirmwareTransfer() {
  Crc = 0;
  BytesSent = 0;
  UpdateProgress();
  ProgressVisible = 1;
  ShowProgressBar();
  ProgressMax = static_cast<int32_t>(FirmwareSize);
  SetProgressMax();
  const bool big = FirmwareSize >= 600000;
  const char* minutes = CurrentBaud == 9600 ? (big ? "16" : "8") : (big ? "5" : "3");
  ShowStatus(std::string("Sending new firmware. This will take approximately ") + minutes + " minutes.");
  try {
    RewindPayload(FirmwareSource);
  } catch (const std::exception& e) {
    PayloadFailed("Can not read the firmware file", e);
    return;
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
    if (Terminated() || PortAway()) return;
    // The block and its marker in one write, which the engine does not wait for: the acknowledgement is
    // what it waits for, and meanwhile (a second at 9600 baud on a real port) the other engines go on.
    uint8_t frame[kBlockSize + 1];
    std::memcpy(frame, BlockBuffer, kBlockSize);
    frame[kBlockSize] = kBlockMarker;
    WriteAll(frame, kBlockSize + 1);
    if (Terminated()) return;
    Stamp();
    TimeoutTimer->SetEnabled(true);
  } catch (...) {
  }
}

void TSerialThread::SendFirmwareBlock() {
  if (Terminated()) return;
  try {
    // The announced size is made even and kept off a multiple of 1000, so it can pass the payload's end by a
    // few bytes. The indicator waits for every announced byte: the rest is the erased-flash value.
    uint8_t piece[kBlockSize];
    bool ended = false;
    while (!Terminated() && static_cast<uint32_t>(BytesSent) < FirmwareSize) {
      const int want =
          static_cast<int>(std::min<uint32_t>(static_cast<uint32_t>(kBlockSize - BytesSent % kBlockSize),
                                              FirmwareSize - static_cast<uint32_t>(BytesSent)));
      int n = ended ? 0 : ReadPayload(FirmwareSource, piece, want);
      if (n == 0 && !ended && FirmwareSize - static_cast<uint32_t>(BytesSent) > kMaxPadding) {
        // Only the size adjustment's few bytes may be missing: a payload that ends earlier is not the one
        // measured at the start, and the indicator would confirm an image that is not the file.
        PayloadFailed("The firmware file changed during the update",
                      std::runtime_error("it ends after " + std::to_string(BytesSent) + " of " +
                                         std::to_string(FirmwareSize) + " bytes"));
        return;
      }
      if (n == 0) {
        ended = true;
        std::memset(piece, 0xFF, static_cast<size_t>(want));
        n = want;
      }
      for (int i = 0; i < n; ++i) {
        NextByte = piece[i];
        AddFirmwareByte();
      }
      if (BytesSent % kBlockSize == 0) {
        SendFullBlock();
        return;
      }
    }
    if (Terminated()) return;
    const int rest = BytesSent % kBlockSize;
    if (rest > 0) WriteOut(BlockBuffer, rest);
  } catch (const std::exception& e) {
    // Resending cannot mend an unreadable file; ending as if the image were complete would loop for ever.
    PayloadFailed("Can not read the firmware file", e);
    return;
  } catch (...) {
  }
  if (Terminated()) return;
  Stamp();
  Go(eWaitX);
}

void TSerialThread::SendFirmwareSize() {
  Log("FirmwareSize is :  " + std::to_string(FirmwareSize));
  const uint8_t size[4] = {static_cast<uint8_t>(FirmwareSize), static_cast<uint8_t>(FirmwareSize >> 8),
                           static_cast<uint8_t>(FirmwareSize >> 16),
                           static_cast<uint8_t>(FirmwareSize >> 24)};
  WriteOut(size, 4);
}

void TSerialThread::SendCrc() {
  const uint8_t crc[2] = {static_cast<uint8_t>(Crc), static_cast<uint8_t>(Crc >> 8)};
  WriteOut(crc, 2);
  Log("Send out crc is: " + std::to_string(Crc) + " " + std::to_string(Crc >> 8));
}

}  // namespace engine
