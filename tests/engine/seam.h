// The tests' one way into the engine: an engine of their own, with its inside in reach. The engine names
// this struct its friend; nothing else reaches past its public side.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/SerialThreadDef.h"

namespace engine_test {

struct EngineUnderTest {
  using T = engine::TSerialThread;

  EngineUnderTest(engine::IReporter* window, engine::IErrorDialog* dialog)
      : engine(std::make_unique<T>(window, dialog)),
        BootFlag(engine->BootFlag),
        BytesSent(engine->BytesSent),
        Crc(engine->Crc),
        CurrentBaud(engine->CurrentBaud),
        ErrorShown(engine->ErrorShown),
        FlashSize(engine->FlashSize),
        PollTimer(engine->PollTimer),
        Port(engine->Port),
        PortNumber(engine->PortNumber),
        PortOpenMarks(engine->PortOpenMarks),
        ReplyKind(engine->ReplyKind),
        RetryCount(engine->RetryCount),
        RxBuffer(engine->RxBuffer),
        RxPos(engine->RxPos),
        State(engine->State),
        TimeoutTimer(engine->TimeoutTimer),
        WaitStart(engine->WaitStart),
        WakeEvent(engine->WakeEvent),
        FirmwareSize(engine->FirmwareSize),
        LoaderSize(engine->LoaderSize),
        LoaderSource(engine->LoaderSource),
        FirmwareSource(engine->FirmwareSource),
        Succeeded(engine->Succeeded),
        OnFinished(engine->OnFinished) {}

  T* Engine() const { return engine.get(); }

  // The public side.
  void SetPortNames(const std::vector<std::string>& names) { engine->SetPortNames(names); }
  void Start(int bootFlag) { engine->Start(bootFlag); }
  void Finish() { engine->Finish(); }
  void Log(const std::string& text) { engine->Log(text); }
  bool Terminated() const { return engine->Terminated(); }

  // The inside.
  void Step() { engine->Step(); }
  void RxCharReceived(serial::TCustomComm* sender, int count) { engine->RxCharReceived(sender, count); }
  void TimeoutTimerFired() { engine->TimeoutTimerFired(); }
  void ProcessChunk(const uint8_t* bytes, int count) { engine->ProcessChunk(bytes, count); }
  const std::vector<engine::PortCandidate>& Candidates() const { return engine->Candidates; }
  void OpenPort(int firstNumber) { engine->OpenPort(firstNumber); }
  void SetBaud(int baud) { engine->SetBaud(baud); }
  void SendCommand(const std::string& text) { engine->SendCommand(text); }
  void WriteOut(const void* data, int count) { engine->WriteOut(data, count); }
  void CommError(serial::TCustomComm* sender, int errors) { engine->CommError(sender, errors); }
  void StartLoaderUpload() { engine->StartLoaderUpload(); }
  void StartFirmwareTransfer() { engine->StartFirmwareTransfer(); }
  void ShowStatus(const std::string& text) { engine->ShowStatus(text); }
  void UpdateProgress() { engine->UpdateProgress(); }
  void SetProgressMax() { engine->SetProgressMax(); }
  void ShowProgressBar() { engine->ShowProgressBar(); }
  void SetRxPos(int value) { engine->SetRxPos(value); }
  // An indicator has answered on the port (as a recognised reply says).
  void MarkAnswered() { engine->answered_ = true; }
  bool WritePending() const { return engine->writePending_; }

 private:
  std::unique_ptr<T> engine;  // first: the references below point into it

 public:
  int32_t& BootFlag;
  int32_t& BytesSent;
  uint16_t& Crc;
  int32_t& CurrentBaud;
  int32_t& ErrorShown;
  int32_t& FlashSize;
  std::unique_ptr<tk::Timer>& PollTimer;
  std::unique_ptr<serial::TSerialPort>& Port;
  int32_t& PortNumber;
  std::vector<uint8_t>& PortOpenMarks;
  uint8_t& ReplyKind;
  int32_t& RetryCount;
  uint8_t (&RxBuffer)[engine::kRxBufferSize + 1];
  int32_t& RxPos;
  uint8_t& State;
  std::unique_ptr<tk::Timer>& TimeoutTimer;
  double& WaitStart;
  tk::Event& WakeEvent;
  uint32_t& FirmwareSize;
  uint32_t& LoaderSize;
  engine::IPayloadSource*& LoaderSource;
  engine::IPayloadSource*& FirmwareSource;
  uint8_t& Succeeded;
  std::function<void(T*)>& OnFinished;
};

}  // namespace engine_test
