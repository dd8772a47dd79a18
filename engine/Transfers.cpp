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
  if (writePending_ && !LoaderBytesDone()) {
    NextUploadStep(kWritePollMs);
    return;
  }
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
        const int64_t waitMs = LineWaitMs(int64_t{BytesSent} + n + upload_.pieceLen);
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
    // Held: the bytes go once the line takes them (the indicator lets it go); the next steps look.
    if (writePending_) {
      NextUploadStep(kWritePollMs);
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
  // steps of its own (LoaderBytesDone), not here.
  if (PortAway()) return;
  if (Port->Write(bytes, count) >= 0) return;  // done, or failed (reported through CommError)
  if (!Port->Connected()) return;
  writePending_ = true;
  upload_.heldSinceUs = tk::MonotonicUs();
  upload_.heldAfterMs = (CurrentBaud > 0 ? int64_t{count} * 10000 / CurrentBaud : 0) + kWriteTimeoutMs;
}

bool TSerialThread::LoaderBytesDone() {
  // Held since the first look, when it was not the upload's write that began the hold ("{PM}").
  if (upload_.heldSinceUs == 0) {
    upload_.heldSinceUs = tk::MonotonicUs();
    upload_.heldAfterMs = kWriteTimeoutMs;
  }
  const int r = Port->WaitWrite(0);
  if (r != 0) {
    writePending_ = false;
    upload_.heldSinceUs = 0;
    if (upload_.heldShown) HideError();
    upload_.heldShown = false;
    return true;
  }
  // A hold that lasts beyond the write's line time would leave the technician before a still window: say
  // so, as for an answer that does not come.
  if (!upload_.heldShown && ErrorShown == 0 &&
      (tk::MonotonicUs() - upload_.heldSinceUs) / 1000 >= upload_.heldAfterMs) {
    SayLineHeld();
    upload_.heldShown = true;
  }
  return false;
}

// ---- Writes

void TSerialThread::SayLineHeld() {
  Log("The indicator holds the line (XOFF); waiting for it to take the bytes");
  ShowErrorOnce(kErrorProblem);
}

bool TSerialThread::WriteAll(const void* data, int count, bool wait) {
  const uint32_t losses = portLosses_;
  if (writePending_) {
    AwaitWrite(-1, losses);
    if (Terminated() || PortAway() || portLosses_ != losses) return false;
  }
  if (Port->Write(data, count) >= 0) return true;  // done, or failed (reported through CommError)
  if (!Port->Connected()) return false;
  writePending_ = true;
  if (!wait) return false;
  // A serial driver completes a write once its bytes have left: at 9600 baud a block takes over a second.
  const int64_t lineMs = CurrentBaud > 0 ? int64_t{count} * 10000 / CurrentBaud : 0;
  return AwaitWrite(lineMs + kWriteTimeoutMs, losses);
}

bool TSerialThread::AwaitWrite(int64_t budgetMs, uint32_t losses) {
  const int64_t start = tk::MonotonicUs() / 1000;
  const int64_t until = start + budgetMs;
  bool heldShown = false;
  for (;;) {
    if (Terminated() || PortAway() || portLosses_ != losses) return false;
    // Never a wait inside the port: the loop runs between looks, so every other engine has its turns.
    const int r = Port->WaitWrite(0);
    if (r != 0) {
      writePending_ = false;
      if (heldShown) HideError();
      return r > 0;
    }
    const int64_t now = tk::MonotonicUs() / 1000;
    // Past its time the write stays pending: its bytes still go out.
    if (budgetMs >= 0 && now >= until) return false;
    // A wait with no end (a write that must go before the next) would leave the technician before a still
    // window while the indicator holds the line: say so, as for an answer that does not come.
    if (budgetMs < 0 && !heldShown && ErrorShown == 0 && now - start >= kWriteTimeoutMs) {
      SayLineHeld();
      heldShown = true;
    }
    int64_t wait = kWritePollMs;
    if (budgetMs >= 0) wait = std::clamp<int64_t>(until - now, 1, kWritePollMs);
    tk::App().WaitMessages(static_cast<uint32_t>(wait));
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
    WriteAll(frame, kBlockSize + 1, false);
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
