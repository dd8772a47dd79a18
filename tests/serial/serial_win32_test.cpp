// The Win32 communications layer on its own: the device control block, error kinds and texts, port names,
// and what a port that is not there or not a port gives. <windows.h> is in: its macros stand for the layer's
// constants of the same names.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "serial/SerialPort.h"
#include "serial/win32/dcb_map.h"
#include "serial/win32/os_error.h"
#include "toolkit/loop/LoopRuntime.h"

namespace {

using commos::ErrorKind;

TEST(SerialWin32Dcb, FlagWordsSurviveTheBitFields) {
  // The component's words for each flow control, each option bit alone, and every bit at once.
  const uint32_t words[] = {0x0001, 0x2005, 0x0029, 0x0301, 0x0003, 0x0041, 0x0081,
                            0x0401, 0x0801, 0x1001, 0x3001, 0x0011, 0x4001, 0x7FFF};
  for (uint32_t word : words) {
    commos::Dcb dcb;
    dcb.Flags = word;
    dcb.BaudRate = 38400;
    dcb.ByteSize = 7;
    dcb.Parity = 2;
    dcb.StopBits = 2;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.EvtChar = '\r';
    dcb.XonLim = 1024;
    dcb.XoffLim = 512;
    DCB native{};
    native.wReserved = 0x5A5A;  // what the system keeps is kept
    const DCB n = commos::detail::ToNative(dcb, native);
    EXPECT_EQ(n.DCBlength, sizeof(DCB));
    EXPECT_EQ(n.wReserved, 0x5A5A);
    EXPECT_EQ(n.fRtsControl, (word >> 12) & 3) << std::hex << word;
    EXPECT_EQ(n.fDtrControl, (word >> 4) & 3) << std::hex << word;
    EXPECT_EQ(n.fOutX, (word >> 8) & 1) << std::hex << word;
    EXPECT_EQ(n.fInX, (word >> 9) & 1) << std::hex << word;
    const commos::Dcb back = commos::detail::FromNative(n);
    EXPECT_EQ(back.Flags, word) << std::hex << word;
    EXPECT_EQ(back.BaudRate, 38400u);
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.Parity, 2);
    EXPECT_EQ(back.StopBits, 2);
    EXPECT_EQ(back.XonChar, 0x11);
    EXPECT_EQ(back.XoffChar, 0x13);
    EXPECT_EQ(back.EvtChar, '\r');
    EXPECT_EQ(back.XonLim, 1024);
    EXPECT_EQ(back.XoffLim, 512);
  }
}

TEST(SerialWin32Errors, CodesKindsAndHints) {
  struct Case {
    uint32_t code;
    ErrorKind kind;
    const char* hintWord;  // nullptr: no hint
  } cases[] = {
      {ERROR_ACCESS_DENIED, ErrorKind::Busy, "another program"},
      {ERROR_FILE_NOT_FOUND, ErrorKind::Missing, "plugged in"},
      {ERROR_PATH_NOT_FOUND, ErrorKind::Missing, "plugged in"},
      {ERROR_NOT_READY, ErrorKind::Gone, "unplugged"},
      {ERROR_BAD_COMMAND, ErrorKind::Gone, "unplugged"},
      {ERROR_GEN_FAILURE, ErrorKind::Gone, "unplugged"},
      {ERROR_OPERATION_ABORTED, ErrorKind::Gone, "unplugged"},
      {ERROR_DEVICE_NOT_CONNECTED, ErrorKind::Gone, "unplugged"},
      {ERROR_INVALID_PARAMETER, ErrorKind::Other, nullptr},
      {ERROR_INVALID_FUNCTION, ErrorKind::Other, nullptr},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.kind, commos::detail::KindOfError(c.code)) << c.code;
    EXPECT_FALSE(commos::detail::Fail("\\\\.\\COM3", c.code));
    EXPECT_EQ(c.kind, commos::LastErrorKind()) << c.code;
    const std::string text = commos::LastErrorText();
    const std::string head =
        "\\\\.\\COM3: " + commos::detail::SystemText(c.code) + " (error " + std::to_string(c.code) + ")";
    EXPECT_EQ(0u, text.rfind(head, 0)) << text;
    if (c.hintWord) {
      EXPECT_NE(std::string::npos, text.find(c.hintWord, head.size())) << text;
    } else {
      EXPECT_EQ(head, text);
    }
    // The system's own words, on one line, without the full stop.
    const std::string system = commos::detail::SystemText(c.code);
    EXPECT_FALSE(system.empty());
    EXPECT_EQ(std::string::npos, system.find_first_of("\r\n")) << system;
    EXPECT_NE('.', system.back()) << system;
  }
  // Abandoned operations are no unplug of their own when the caller knows better.
  commos::detail::Fail("x", ERROR_OPERATION_ABORTED, ErrorKind::Other);
  EXPECT_EQ(ErrorKind::Other, commos::LastErrorKind());
}

TEST(SerialWin32Names, ComNamesReachEveryPortNumber) {
  const std::pair<const char*, const char*> cases[] = {
      {"Com1", "\\\\.\\COM1"},
      {"COM12", "\\\\.\\COM12"},
      {"com255", "\\\\.\\COM255"},
      {"Com0", "Com0"},
      {"Com", "Com"},
      {"Com1x", "Com1x"},
      {"C:\\ports\\a", "C:\\ports\\a"},
      {"\\\\.\\COM4", "\\\\.\\COM4"},
      // A port named by /p, in either spelling.
      {"COM37", "\\\\.\\COM37"},
      {"\\\\.\\COM37", "\\\\.\\COM37"},
      {"\\\\.\\com37", "\\\\.\\COM37"},
      {"\\\\.\\COM037", "\\\\.\\COM37"},
      {"\\\\.\\CNCA0", "\\\\.\\CNCA0"},
  };
  for (const auto& [name, path] : cases) EXPECT_EQ(commos::ResolvePortName(name), path) << name;
}

struct SerialWin32Open : ::testing::Test {
  SerialWin32Open() { tk::Install(&rt); }
  ~SerialWin32Open() override {
    rt.RunUntil([] { return tk::Thread::WaitForDetachedThreads(0); }, 5000);
    tk::Install(nullptr);
  }
  tk::LoopRuntime rt{tk::LoopRuntime::Clock::Virtual};
};

TEST_F(SerialWin32Open, AMissingPortIsNotInstalledAndNamedMissing) {
  // Com99 lies beyond the ports of any test prefix; Com9 of the test prefix leads to a file that is not
  // there, which Wine opens but cannot use as a port.
  for (const char* name : {"Com99", "Com9"}) {
    serial::TSerialPort port;
    int error = 0;
    port.OnError = [&](serial::TCustomComm*, int code) { error = code; };
    port.SetDeviceName(name);
    port.Open();
    EXPECT_FALSE(port.Connected()) << name;
    EXPECT_EQ(error, serial::kErrNotInstalled) << name;
    EXPECT_TRUE(port.LastOpenFoundNoDevice()) << name << ": " << port.LastOsError();
    EXPECT_EQ(port.LastOsError().rfind(commos::ResolvePortName(name) + ": ", 0), 0u) << port.LastOsError();
    EXPECT_NE(port.LastOsError().find("plugged in"), std::string::npos) << port.LastOsError();
  }
}

TEST_F(SerialWin32Open, AFileIsNoPortAndEveryPortCallRefusesIt) {
  const auto file = std::filesystem::temp_directory_path() / "brae-serial-file.bin";
  std::ofstream(file) << "x";
  serial::TSerialPort port;
  int error = 0;
  port.OnError = [&](serial::TCustomComm*, int code) { error = code; };
  port.SetDeviceName(file.string());
  port.Open();
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(error, serial::kErrInvalidHandle);

  commos::Handle disk = commos::CreateFile(file.string());
  ASSERT_TRUE(disk);
  EXPECT_EQ(commos::GetFileType(disk), FILE_TYPE_DISK);
  commos::Dcb dcb;
  uint32_t n = 0;
  char buf[4] = {};
  const std::pair<const char*, std::function<bool()>> calls[] = {
      {"SetupComm", [&] { return commos::SetupComm(disk, 64, 64); }},
      {"GetCommState", [&] { return commos::GetCommState(disk, &dcb); }},
      {"SetCommState", [&] { return commos::SetCommState(disk, dcb); }},
      {"SetCommMask", [&] { return commos::SetCommMask(disk, EV_RXCHAR); }},
      {"PurgeComm", [&] { return commos::PurgeComm(disk, PURGE_RXCLEAR); }},
      {"ReadFile", [&] { return commos::ReadFile(disk, buf, 1, &n) != commos::IoResult::Failed; }},
      {"WriteFile", [&] { return commos::WriteFile(disk, buf, 1, &n, 10) != commos::IoResult::Failed; }},
  };
  for (const auto& [what, call] : calls) {
    EXPECT_FALSE(call()) << what;
    EXPECT_NE(commos::LastErrorText().find("(error 1)"), std::string::npos)
        << what << commos::LastErrorText();
  }
  EXPECT_TRUE(commos::CloseHandle(disk));
  EXPECT_FALSE(commos::CloseHandle(disk));  // once only
  std::filesystem::remove(file);
}

TEST(SerialWin32Event, WaitEndsWhenSetAndTheEventStaysSet) {
  commos::WaitableEvent event;
  EXPECT_FALSE(event.Wait(0));
  EXPECT_FALSE(event.Wait(20));
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    event.Set();
  });
  EXPECT_TRUE(event.Wait(10000));
  setter.join();
  EXPECT_TRUE(event.IsSet());
  event.Reset();
  EXPECT_FALSE(event.IsSet());
}

}  // namespace
