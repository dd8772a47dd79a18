#include "serial/win32/os_error.h"

#include "serial/win32/win.h"
#include "toolkit/win32/Text.h"

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
  return tk::win32::Widen(s);
}

std::string SystemText(uint32_t code) {
  return tk::win32::SystemText(code);
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
