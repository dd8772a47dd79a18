#include "serial/posix/os_error.h"

#include <cerrno>
#include <cstring>

namespace commos {

namespace {

thread_local std::string t_lastError;
thread_local ErrorKind t_lastKind = ErrorKind::None;

}  // namespace

namespace detail {

ErrorKind KindOfErrno(int err) {
  switch (err) {
    case 0:
      return ErrorKind::None;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return ErrorKind::Missing;
    case EBUSY:
#if EWOULDBLOCK != EBUSY
    case EWOULDBLOCK:
#endif
      return ErrorKind::Busy;
    case EACCES:
    case EPERM:
      return ErrorKind::Denied;
    case EIO:
      return ErrorKind::Gone;
    default:
      return ErrorKind::Other;
  }
}

const char* HintOf(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Missing:
      return " (no such serial device; is the adapter plugged in?)";
    case ErrorKind::Busy:
      return " (another program holds the port open)";
    case ErrorKind::Denied:
      return " (add your user to the dialout group: sudo usermod -aG dialout $USER, then log in again)";
    case ErrorKind::Gone:
      return " (the device stopped answering; was it unplugged?)";
    case ErrorKind::None:
    case ErrorKind::Other:
      break;
  }
  return "";
}

bool Fail(const std::string& what, int err, ErrorKind kind) {
  t_lastError = what + ": " + std::strerror(err) + HintOf(kind);
  t_lastKind = kind;
  return false;
}

bool Fail(const std::string& what, int err) {
  return Fail(what, err, KindOfErrno(err));
}

}  // namespace detail

std::string LastErrorText() {
  return t_lastError;
}

ErrorKind LastErrorKind() {
  return t_lastKind;
}

}  // namespace commos
