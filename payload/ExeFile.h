// The executable files the builder reads, on this platform's file system (posix/ or win32/, chosen by the
// build; the copy is written by toolkit/files). Every failure throws IoError with "path: reason".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace payload {

// The running program's own file, as a path the calls below take.
std::string SelfExecutablePath();

// The file's permission bits, which a built copy keeps (0 where the file system has none).
uint32_t ExecutablePermissions(const std::string& path);

// True when both paths name one existing file (through links, other spellings, other letter cases).
bool SameFile(const std::string& a, const std::string& b);

// The whole file, whatever its size.
std::vector<uint8_t> ReadWholeFile(const std::string& path);

}  // namespace payload
