// What brae-update.exe says it is: its version resource, as Explorer's properties read it, and its
// --version, which prints what the Linux program prints.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/core/InfoRequest.h"
#include "toolkit/win32/Text.h"

namespace {

std::wstring Program() {
  std::wstring w = tk::win32::Widen(BRAE_UPDATE_EXE);
  std::replace(w.begin(), w.end(), L'/', L'\\');
  return w;
}

// One string of the resource's US English, Unicode table: the one the resource script writes.
std::string VersionString(const std::vector<char>& info, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueW(info.data(), path.c_str(), &value, &length) || length == 0) return "(none)";
  return tk::win32::Narrow(static_cast<const wchar_t*>(value));
}

TEST(ProgramVersion, TheResourceNamesTheLicenseAndTheVersionThatVersionPrints) {
  const std::wstring program = Program();
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(program.c_str(), &handle);
  ASSERT_GT(size, 0u) << GetLastError();
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(program.c_str(), 0, size, info.data())) << GetLastError();

  const std::string product = VersionString(info, L"ProductVersion");
  const std::string file = VersionString(info, L"FileVersion");
  // The package's version, then the window's, as the Linux program prints them.
  EXPECT_EQ("brae-update " + product + " (ver" + file + ")\n", app::VersionText());
  const std::string copyright = VersionString(info, L"LegalCopyright");
  EXPECT_EQ(copyright.rfind("Copyright (c) ", 0), 0u) << copyright;
  EXPECT_NE(copyright.find("the brae-update authors"), std::string::npos) << copyright;
  EXPECT_NE(copyright.find("MIT License"), std::string::npos) << copyright;

  // The numbers Explorer shows first are the same version.
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  const std::string numbers = std::to_string(HIWORD(fixed->dwProductVersionMS)) + "." +
                              std::to_string(LOWORD(fixed->dwProductVersionMS));
  EXPECT_EQ(numbers, product);
}

TEST(ProgramVersion, VersionPrintsWhatTheLinuxProgramPrints) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  std::wstring command = L"\"" + Program() + L"\" --version";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  startup.hStdInput = nullptr;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                             &process))
      << GetLastError();
  CloseHandle(writeEnd);
  std::string out;
  char buffer[256];
  DWORD n = 0;
  while (ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n > 0) out.append(buffer, n);
  CloseHandle(readEnd);
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(code, 0u);
  // Windows' line end; the text is the Linux program's.
  EXPECT_EQ(out, "brae-update " BRAE_VERSION " (ver" BRAE_VERSION BRAE_VERSION_LETTER ")\r\n");
}

}  // namespace
