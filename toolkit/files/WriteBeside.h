// Replacing a file so that readers see either the old file or the whole new one: the content goes to a new
// private file beside the target, which is then renamed over it. Shared by the updater builder and the log
// file; needs neither Qt nor the rest of the toolkit.
#pragma once

#include <cstddef>
#include <string>

namespace tk {

// Permission bits of a new file (POSIX modes; Windows files have none and ignore them).
using FileMode = unsigned int;

struct WriteBesideResult {
  enum class Failure {
    None,
    Directory,    // the target's directory cannot be reached
    Foreign,      // the name holds a file of another user, which is left alone
    Create,       // no new file could be made beside the target
    Write,        // writing, syncing or closing the new file failed
    Permissions,  // the new file's mode could not be set
    Rename,       // the new file could not be renamed over the target
  };
  Failure failure = Failure::None;
  int error = 0;  // errno of the failed call

  bool Ok() const { return failure == Failure::None; }
};

// Writes size bytes at data to `target` with the permissions `mode`. The new file is created exclusively and
// never through a link; a symlink at `target` is replaced, its own target untouched. Whatever holds the name
// must belong to this user, so that a shared, writable directory never lets one user's program replace
// another's file. On failure nothing beside the target is left behind and the target is unchanged.
WriteBesideResult WriteBesideAndRename(const std::string& target, const void* data, size_t size,
                                       FileMode mode);

#if defined(_WIN32)
// Whether an owner `sid` (a SID) is this process's own: its token's user, or the token's default owner, which
// the files it makes are given (the Administrators group for an elevated administrator).
bool IsOwnSid(const void* sid);
#endif

}  // namespace tk
