#include "serial/posix/sysfs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace commos::sysfs {

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::string Basename(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<std::string> ReadSmall(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buf[4096];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  return std::string(buf, static_cast<size_t>(n));
}

std::string Attribute(const std::string& path) {
  std::string line = ReadSmall(path).value_or(std::string());
  line.erase(std::min(line.find('\n'), line.size()));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

std::string TtyName(const std::string& path, const std::string& devRoot) {
  const std::string real = RealPath(path);
  const std::string root = RealPath(devRoot);
  if (!root.empty() && real.rfind(root + "/", 0) == 0 && real.find('/', root.size() + 1) == std::string::npos)
    return Basename(real);
  return Basename(path);
}

std::string TtyDevice(const std::string& sysRoot, const std::string& tty) {
  if (tty.empty()) return std::string();
  return RealPath(sysRoot + "/class/tty/" + tty + "/device");
}

std::vector<std::string> FoldersUp(const std::string& root, const std::string& device) {
  std::vector<std::string> folders;
  if (root.empty() || device.rfind(root + "/", 0) != 0) return folders;
  for (std::string dir = device; dir.size() > root.size(); dir.erase(dir.find_last_of('/')))
    folders.push_back(dir);
  return folders;
}

}  // namespace commos::sysfs
