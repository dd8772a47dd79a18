// The last error of the calling thread: a Win32 error code mapped once to an error kind, and the system's
// text for it with a hint for the technician.
#pragma once

#include <cstdint>
#include <string>

#include "serial/CommOs.h"

namespace commos::detail {

ErrorKind KindOfError(uint32_t code);
// The technician's hint for a kind, with its leading blank; empty when there is none.
const char* HintOf(ErrorKind kind);
// The system's own text for an error code, on one line, without its full stop.
std::string SystemText(uint32_t code);

// Records "what: <system text> (error N) <hint>" with the kind of code, or with `kind` where the caller knows
// better. Returns false, for `return Fail(...)`.
bool Fail(const std::string& what, uint32_t code);
bool Fail(const std::string& what, uint32_t code, ErrorKind kind);

// UTF-8 to the system's UTF-16.
std::wstring Widen(const std::string& s);

}  // namespace commos::detail
