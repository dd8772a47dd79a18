#include "serial/posix/os_error.h"

#include <cerrno>
#include <cstring>

#include "serial/last_error.h"

namespace commos::detail {

namespace {

constexpr CodeKind kKinds[] = {
    {0, ErrorKind::None},        {ENOENT, ErrorKind::Missing}, {ENODEV, ErrorKind::Missing},
    {ENXIO, ErrorKind::Missing}, {EBUSY, ErrorKind::Busy},     {EWOULDBLOCK, ErrorKind::Busy},
    {EACCES, ErrorKind::Denied}, {EPERM, ErrorKind::Denied},   {EIO, ErrorKind::Gone},
};

constexpr KindHint kHints[] = {
    {ErrorKind::Missing, " (no such serial device; is the adapter plugged in?)"},
    {ErrorKind::Denied,
     " (add your user to the dialout group: sudo usermod -aG dialout $USER, then log in again)"},
};

}  // namespace

ErrorKind KindOfErrno(int err) {
  return KindIn(kKinds, err);
}

const char* HintOf(ErrorKind kind) {
  return HintIn(kHints, kind);
}

bool Fail(const std::string& what, int err, ErrorKind kind) {
  return Record(what, std::strerror(err), kind, HintOf(kind));
}

bool Fail(const std::string& what, int err) {
  return Fail(what, err, KindOfErrno(err));
}

}  // namespace commos::detail
