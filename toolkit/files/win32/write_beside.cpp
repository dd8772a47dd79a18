// Writing beside and renaming on Windows: a new file created exclusively beside the target, then moved over
// it with MoveFileExW (rename does not replace there); a link at the name is replaced, not followed. A folder
// any user may change (c:\Temp as the program makes it) lets another user's file be replaced, so the file at
// the name must be this user's, as on POSIX. Errors are reported as errno values, as the callers' texts
// expect.
#include <algorithm>
#include <cerrno>
#include <random>
#include <vector>

#include "toolkit/files/WriteBeside.h"
#include "toolkit/win32/Text.h"

#include <aclapi.h>

namespace tk {

namespace {

using win32::Widen;

int ErrnoOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
      return EINVAL;
    default:
      return EIO;
  }
}

WriteBesideResult Failed(WriteBesideResult::Failure failure, DWORD code) {
  WriteBesideResult r;
  r.failure = failure;
  r.error = ErrnoOf(code);
  return r;
}

// Whether the name holds a file (or link) of another user; the link itself is asked, not what it leads to. An
// owner always may read its file's security, so a file whose security cannot be read is not this user's. A
// file system that keeps no owners gives none: the move then does what the folder allows.
bool HeldByAnotherUser(const std::wstring& target) {
  const HANDLE file =
      CreateFileW(target.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_ACCESS_DENIED;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  const bool foreign = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                       nullptr, nullptr, &security) == ERROR_SUCCESS &&
                       owner && !IsOwnSid(owner);
  if (security) LocalFree(security);
  CloseHandle(file);
  return foreign;
}

}  // namespace

bool IsOwnSid(const void* sid) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  bool own = false;
  for (const TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !GetTokenInformation(token, kind, buffer.data(), size, &size)) continue;
    const PSID mine = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                        : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
    if (EqualSid(mine, const_cast<void*>(sid))) {
      own = true;
      break;
    }
  }
  CloseHandle(token);
  return own;
}

WriteBesideResult WriteBesideAndRename(const std::string& target, const void* data, size_t size, FileMode) {
  using Failure = WriteBesideResult::Failure;
  const size_t slash = target.find_last_of("\\/");
  const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  const DWORD attributes = GetFileAttributesW(Widen(dir).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Failed(Failure::Directory, GetLastError());
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return Failed(Failure::Directory, ERROR_DIRECTORY);

  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::random_device random;
  std::wstring temp;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 16 && file == INVALID_HANDLE_VALUE; ++attempt) {
    temp = Widen((slash == std::string::npos ? "" : dir) + "." + base + "." +
                 std::to_string(random() % 1000000000u));
    file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) return Failed(Failure::Create, GetLastError());

  DWORD err = 0;
  const auto* bytes = static_cast<const char*>(data);
  for (size_t done = 0; err == 0 && done < size;) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1 << 20));
    if (!WriteFile(file, bytes + done, chunk, &n, nullptr)) err = GetLastError();
    done += n;
  }
  if (err == 0 && !FlushFileBuffers(file)) err = GetLastError();
  CloseHandle(file);
  if (err != 0) {
    DeleteFileW(temp.c_str());
    return Failed(Failure::Write, err);
  }
  if (HeldByAnotherUser(Widen(target))) {
    DeleteFileW(temp.c_str());
    return Failed(Failure::Foreign, ERROR_ACCESS_DENIED);
  }
  if (!MoveFileExW(temp.c_str(), Widen(target).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    err = GetLastError();
    DeleteFileW(temp.c_str());
    return Failed(Failure::Rename, err);
  }
  return {};
}

}  // namespace tk
