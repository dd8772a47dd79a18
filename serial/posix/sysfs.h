// Reading sysfs: small attribute files, and the links from a tty to the device behind it. The roots are
// parameters, so tests read trees of their own.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace commos::sysfs {

// The canonical path with every link followed; empty when it does not resolve.
std::string RealPath(const std::string& path);
// The last part of a path.
std::string Basename(const std::string& path);

// The whole of a small file (attributes are at most a page); nullopt when it cannot be opened or is empty.
std::optional<std::string> ReadSmall(const std::string& path);
// An attribute's first line without trailing blanks; empty when there is none.
std::string Attribute(const std::string& path);

// The name the kernel knows a device by: the target of `path` when that is a device directly in `devRoot`
// (a by-id link leads to ttyUSB0), else the last part of `path` (a pty's "3", a port directory's "com1").
std::string TtyName(const std::string& path, const std::string& devRoot = "/dev");
// The device folder behind a tty, links followed; empty when sysfs has none.
std::string TtyDevice(const std::string& sysRoot, const std::string& tty);
// The folders from `device` up towards `root`, nearest first, `root` itself left out; empty when `device`
// does not lie below `root`. Both are canonical paths.
std::vector<std::string> FoldersUp(const std::string& root, const std::string& device);

}  // namespace commos::sysfs
