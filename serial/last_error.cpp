#include "serial/last_error.h"

namespace commos {

namespace {

thread_local std::string t_lastError;
thread_local ErrorKind t_lastKind = ErrorKind::None;

// What a technician does about it is the same on every system for these.
constexpr detail::KindHint kSharedHints[] = {
    {ErrorKind::Busy, " (another program holds the port open)"},
    {ErrorKind::Gone, " (the device stopped answering; was it unplugged?)"},
};

}  // namespace

namespace detail {

ErrorKind KindIn(std::span<const CodeKind> table, int64_t code) {
  for (const CodeKind& entry : table) {
    if (entry.code == code) return entry.kind;
  }
  return ErrorKind::Other;
}

const char* HintIn(std::span<const KindHint> systemHints, ErrorKind kind) {
  for (const std::span<const KindHint> table : {systemHints, std::span<const KindHint>(kSharedHints)}) {
    for (const KindHint& entry : table) {
      if (entry.kind == kind) return entry.hint;
    }
  }
  return "";
}

bool Record(const std::string& what, const std::string& reason, ErrorKind kind, const char* hint) {
  t_lastError = what + ": " + reason + hint;
  t_lastKind = kind;
  return false;
}

void Restore(const std::string& text, ErrorKind kind) {
  t_lastError = text;
  t_lastKind = kind;
}

}  // namespace detail

std::string LastErrorText() {
  return t_lastError;
}

ErrorKind LastErrorKind() {
  return t_lastKind;
}

}  // namespace commos
