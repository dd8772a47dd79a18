#include "serial/win32/os_error.h"

#include "serial/last_error.h"
#include "serial/win32/win.h"
#include "toolkit/win32/Text.h"

namespace commos::detail {

namespace {

constexpr CodeKind kKinds[] = {
    {ERROR_SUCCESS, ErrorKind::None},
    {ERROR_FILE_NOT_FOUND, ErrorKind::Missing},
    {ERROR_PATH_NOT_FOUND, ErrorKind::Missing},
    {ERROR_ACCESS_DENIED,
     ErrorKind::Busy},  // what Windows answers for a port that another program holds open
    {ERROR_SHARING_VIOLATION, ErrorKind::Busy},
    {ERROR_NOT_READY, ErrorKind::Gone},
    {ERROR_BAD_COMMAND, ErrorKind::Gone},
    {ERROR_GEN_FAILURE, ErrorKind::Gone},
    {ERROR_OPERATION_ABORTED, ErrorKind::Gone},
    {ERROR_DEVICE_NOT_CONNECTED, ErrorKind::Gone},
};

// A port Windows refuses is held by another program (Busy above), so there is no hint for Denied here.
constexpr KindHint kHints[] = {
    {ErrorKind::Missing, " (no such serial port; is the adapter plugged in?)"},
};

}  // namespace

ErrorKind KindOfError(uint32_t code) {
  return KindIn(kKinds, code);
}

const char* HintOf(ErrorKind kind) {
  return HintIn(kHints, kind);
}

std::wstring Widen(const std::string& s) {
  return tk::win32::Widen(s);
}

std::string SystemText(uint32_t code) {
  return tk::win32::SystemText(code);
}

bool Fail(const std::string& what, uint32_t code, ErrorKind kind) {
  return Record(what, SystemText(code) + " (error " + std::to_string(code) + ")", kind, HintOf(kind));
}

bool Fail(const std::string& what, uint32_t code) {
  return Fail(what, code, KindOfError(code));
}

}  // namespace commos::detail
