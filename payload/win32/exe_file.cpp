// Executable files on Windows: wide-character paths, and the file ID for "same file" (there are no inode
// numbers).
#include <algorithm>

#include "payload/ExeFile.h"
#include "payload/PayloadFile.h"
#include "toolkit/win32/Text.h"

namespace payload {

namespace {

using tk::win32::Narrow;
using tk::win32::Widen;

// "path: [what: ]<the system's text>", like IoMessage for errno values.
std::string Message(const std::string& path, const std::string& what, DWORD code) {
  const std::string text = tk::win32::SystemText(code);
  return (path.empty() ? std::string("(no file name)") : path) + ": " + (what.empty() ? "" : what + ": ") +
         text;
}

// Closes a handle when it goes out of scope.
struct Owned {
  HANDLE h;
  ~Owned() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

HANDLE OpenForReading(const std::string& path, DWORD access) {
  // The running program keeps its own file open; sharing every mode lets us read it anyway.
  return CreateFileW(Widen(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::string SelfExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return Narrow(buffer.data(), n);
    buffer.resize(buffer.size() * 2);  // the name was cut short
  }
}

uint32_t ExecutablePermissions(const std::string& path) {
  if (GetFileAttributesW(Widen(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
    throw IoError(Message(path, "", GetLastError()));
  }
  return 0;
}

bool SameFile(const std::string& a, const std::string& b) {
  Owned ha{OpenForReading(a, FILE_READ_ATTRIBUTES)}, hb{OpenForReading(b, FILE_READ_ATTRIBUTES)};
  if (ha.h == INVALID_HANDLE_VALUE || hb.h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION ia, ib;
  return GetFileInformationByHandle(ha.h, &ia) && GetFileInformationByHandle(hb.h, &ib) &&
         ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
         ia.nFileIndexLow == ib.nFileIndexLow;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  Owned f{OpenForReading(path, GENERIC_READ)};
  if (f.h == INVALID_HANDLE_VALUE) throw IoError(Message(path, "", GetLastError()));
  std::vector<uint8_t> image;
  LARGE_INTEGER size;
  if (GetFileSizeEx(f.h, &size) && size.QuadPart > 0) image.reserve(static_cast<size_t>(size.QuadPart));
  uint8_t chunk[64 * 1024];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(f.h, chunk, sizeof chunk, &n, nullptr)) {
      throw IoError(Message(path, "read error", GetLastError()));
    }
    if (n == 0) break;
    image.insert(image.end(), chunk, chunk + n);
  }
  return image;
}

}  // namespace payload
