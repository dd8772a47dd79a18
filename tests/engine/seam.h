// The tests' one way into the engine: the engine with its inside made public. Tests create this instead of
// the engine itself; nothing else does.
#pragma once

#include "engine/SerialThreadDef.h"

namespace engine_test {

struct EngineUnderTest : engine::TSerialThread {
  using TSerialThread::TSerialThread;

  using TSerialThread::CommError;
  using TSerialThread::OpenPort;
  using TSerialThread::ProcessChunk;
  using TSerialThread::RxCharReceived;
  using TSerialThread::SendCommand;
  using TSerialThread::SetBaud;
  using TSerialThread::SetProgressMax;
  using TSerialThread::SetRxPos;
  using TSerialThread::ShowProgressBar;
  using TSerialThread::ShowStatus;
  using TSerialThread::StartFirmwareTransfer;
  using TSerialThread::StartLoaderUpload;
  using TSerialThread::Step;
  using TSerialThread::TimeoutTimerFired;
  using TSerialThread::UpdateProgress;

  using TSerialThread::BootFlag;
  using TSerialThread::BytesSent;
  using TSerialThread::Crc;
  using TSerialThread::CurrentBaud;
  using TSerialThread::ErrorShown;
  using TSerialThread::FlashSize;
  using TSerialThread::PollTimer;
  using TSerialThread::Port;
  using TSerialThread::PortNumber;
  using TSerialThread::PortOpenMarks;
  using TSerialThread::ReplyKind;
  using TSerialThread::RetryCount;
  using TSerialThread::RxBuffer;
  using TSerialThread::RxPos;
  using TSerialThread::State;
  using TSerialThread::TimeoutTimer;
  using TSerialThread::WaitStart;
  using TSerialThread::WakeEvent;
};

}  // namespace engine_test
