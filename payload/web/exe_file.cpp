// Executable files in the browser: the program is the page, which has no file of its own to read or copy.
// The page hands its payloads in itself; building a copy is for the Linux and Windows programs.
#include "payload/ExeFile.h"
#include "payload/PayloadFile.h"

namespace payload {

namespace {

constexpr char kPage[] = "this page";
constexpr char kNoFile[] = "the program runs as a web page, which has no executable file to read or copy";

[[noreturn]] void Refuse(const std::string& path) {
  throw IoError(path + ": " + kNoFile);
}

}  // namespace

std::string SelfExecutablePath() {
  return kPage;
}

uint32_t ExecutablePermissions(const std::string& path) {
  Refuse(path);
}

bool SameFile(const std::string& a, const std::string& b) {
  return a == b && a == kPage;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  Refuse(path);
}

}  // namespace payload
