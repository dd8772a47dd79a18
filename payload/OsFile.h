// Payload files by their UTF-8 path on this platform's file system (posix/ or win32/, chosen by the build).
// On Windows the wide-character calls take the path, so a letter outside the ANSI code page (a folder named
// "Prüfung" on a machine set to another language, any letter of another script) reaches the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace payload {

// Opens the file read-only as a descriptor for the calls below: binary on Windows (in text mode a 0x1A byte
// would end the read), non-blocking on POSIX (a FIFO put in the file's place cannot hang the open). -1 with
// errno set when it fails.
int OpenForReading(const std::string& path);

// The size of the regular file at `path` (following links); false for an empty path, a missing file, a
// directory or a device.
bool RegularFileSize(const std::string& path, uint64_t* size);

// The folder that holds the file at `path` (its links followed), ending in its separator: where the files
// beside a program are looked for, from its SelfExecutablePath. Empty when it can not be told.
std::string FolderOf(const std::string& path);

// The calls on a descriptor from OpenForReading; each returns -1 with errno set when it fails.

// 1 when it is a regular file, 0 when it is something else.
int IsRegularFile(int fd);
// Up to `size` bytes; 0 at the end of the file.
long ReadFromFile(int fd, void* buffer, size_t size);
// Back to the first byte: 0.
int RewindFile(int fd);
void CloseFile(int fd);

}  // namespace payload
