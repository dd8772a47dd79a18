// The last error of the calling thread: errno mapped once to an error kind, and the text with a hint for
// the technician.
#pragma once

#include <string>

#include "serial/CommOs.h"

namespace commos::detail {

ErrorKind KindOfErrno(int err);
// The technician's hint for a kind, with its leading blank; empty when there is none.
const char* HintOf(ErrorKind kind);

// Records "what: <errno text> <hint>" with the kind of err, or with `kind` where the caller knows better
// (a device that vanished is gone whichever errno showed it). Returns false, for `return Fail(...)`.
bool Fail(const std::string& what, int err);
bool Fail(const std::string& what, int err, ErrorKind kind);

}  // namespace commos::detail
