// Payload files on POSIX: a path is bytes, taken as it is.
#include <fcntl.h>
#include <sys/stat.h>

#include "payload/OsFile.h"

namespace payload {

int OpenForReading(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

bool RegularFileSize(const std::string& path, uint64_t* size) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

}  // namespace payload
