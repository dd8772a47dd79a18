#include "serial/win32/os_error.h"

#include "serial/win32/win.h"

namespace commos {

namespace {

thread_local std::string t_lastError;
thread_local ErrorKind t_lastKind = ErrorKind::None;

}  // namespace

namespace detail {

ErrorKind KindOfError(uint32_t code) {
  switch (code) {
    case ERROR_SUCCESS:
      return ErrorKind::None;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ErrorKind::Missing;
    case ERROR_ACCESS_DENIED:  // what Windows answers for a port that another program holds open
    case ERROR_SHARING_VIOLATION:
      return ErrorKind::Busy;
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_NOT_CONNECTED:
      return ErrorKind::Gone;
    default:
      return ErrorKind::Other;
  }
}

const char* HintOf(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Missing:
      return " (no such serial port; is the adapter plugged in?)";
    case ErrorKind::Busy:
      return " (another program holds the port open)";
    case ErrorKind::Gone:
      return " (the device stopped answering; was it unplugged?)";
    case ErrorKind::Denied:
    case ErrorKind::None:
    case ErrorKind::Other:
      break;
  }
  return "";
}

std::wstring Widen(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string Narrow(const std::wstring& w) {
  if (w.empty()) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::string SystemText(uint32_t code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (n > 0 && buffer) text = Narrow(std::wstring(buffer, n));
  if (buffer) LocalFree(buffer);
  // The system's texts end in a full stop and a line break, and some run over several lines.
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '.')) text.pop_back();
  if (text.empty()) text = "system error";
  return text;
}

bool Fail(const std::string& what, uint32_t code, ErrorKind kind) {
  t_lastError = what + ": " + SystemText(code) + " (error " + std::to_string(code) + ")" + HintOf(kind);
  t_lastKind = kind;
  return false;
}

bool Fail(const std::string& what, uint32_t code) {
  return Fail(what, code, KindOfError(code));
}

}  // namespace detail

std::string LastErrorText() {
  return t_lastError;
}

ErrorKind LastErrorKind() {
  return t_lastKind;
}

}  // namespace commos
