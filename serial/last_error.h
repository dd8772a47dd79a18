// The last error of the calling thread, as both operating-system layers record it: a code mapped once to an
// error kind through a table of the system's codes, and a text with a hint for the technician. Each layer
// keeps its own codes and words (posix/os_error.cpp, win32/os_error.cpp); this is what they share.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "serial/CommOs.h"

namespace commos::detail {

struct CodeKind {
  int64_t code;
  ErrorKind kind;
};

struct KindHint {
  ErrorKind kind;
  const char* hint;  // with its leading blank
};

// The kind of the first entry for `code`; Other when the table has none.
ErrorKind KindIn(std::span<const CodeKind> table, int64_t code);
// The hint for `kind`: the system's own where it has one, else the one every system shares; empty when
// neither has one.
const char* HintIn(std::span<const KindHint> systemHints, ErrorKind kind);

// Records "what: <reason><hint of kind>" as this thread's last error, with `kind`. Returns false, for
// `return Fail(...)`.
bool Record(const std::string& what, const std::string& reason, ErrorKind kind, const char* hint);
// Makes `text` with `kind` this thread's last error again, as another thread or an earlier call left it.
void Restore(const std::string& text, ErrorKind kind);

}  // namespace commos::detail
