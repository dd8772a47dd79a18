#include "payload/Builder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "payload/Buffers.h"
#include "payload/ElfPayload.h"
#include "payload/PayloadFile.h"

namespace payload {
namespace {

// A build that stops: the message for the user, nothing written.
struct Refusal {
  std::string message;
};

std::vector<uint8_t> ReadExecutable(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw IoError(IoMessage(path, errno));
  std::vector<uint8_t> image;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) image.reserve(static_cast<size_t>(st.st_size));
  // The whole file, whatever its size; the count read is the image length.
  uint8_t chunk[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      image.insert(image.end(), chunk, chunk + n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      int err = errno;
      ::close(fd);
      throw IoError(IoMessage(path, "read error", err));
    }
  }
  ::close(fd);
  return image;
}

// One payload file whole, refused when it is missing, unreadable, empty, longer than its buffer takes, or
// beginning with its buffer's empty mark (the copy would read as carrying no payload and never update).
std::vector<uint8_t> ReadPayload(const std::string& path, const char* kind, size_t limit, uint8_t marker) {
  if (!PayloadFile::Exists(path)) throw Refusal{std::string("Can not open ") + kind + " file"};
  std::vector<uint8_t> bytes(limit + 1);
  try {
    PayloadFile file;
    file.Open(path);
    bytes.resize(file.Read(bytes.data(), bytes.size()));
  } catch (const IoError& e) {
    throw Refusal{std::string("Can not read ") + kind + " file " + e.what()};
  }
  if (bytes.empty()) throw Refusal{std::string("The ") + kind + " file " + path + " is empty"};
  if (bytes.size() > limit) {
    struct stat st;
    std::string length = ::stat(path.c_str(), &st) == 0 ? std::to_string(st.st_size) + " bytes" : "longer";
    throw Refusal{std::string("The ") + kind + " file " + path + " is too long (" + length + "): at most " +
                  std::to_string(limit) + " bytes fit into the " + kind + " buffer"};
  }
  if (bytes.size() >= kEmptyTestLength && StartsWithMarker(bytes.data(), marker, kEmptyTestLength)) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", marker);
    std::string mark = hex;
    for (size_t i = 1; i < kEmptyTestLength; ++i) mark += std::string(" ") + hex;
    throw Refusal{std::string("The ") + kind + " file " + path + " begins with " + mark +
                  ", the mark of an empty " + kind + " buffer: a copy carrying it could never update"};
  }
  return bytes;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes the image beside the target and renames it into place, so the target is either the old file or the
// complete new one.
void WriteImage(const std::string& target, const std::vector<uint8_t>& image, mode_t mode) {
  std::string base = target.substr(target.rfind('/') + 1);
  std::string temp = DirectoryOf(target) + "/." + base + ".XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) throw IoError(IoMessage(target, "can not create a file beside it", errno));
  int err = 0;
  const char* step = "";
  size_t done = 0;
  while (err == 0 && done < image.size()) {
    ssize_t n = ::write(fd, image.data() + done, image.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      err = errno, step = "write error";
    } else if (n == 0) {
      err = EIO, step = "write error";
    }
  }
  if (err == 0 && ::fchmod(fd, mode) != 0) err = errno, step = "can not set its permissions";
  if (err == 0 && ::fsync(fd) != 0) err = errno, step = "write error";
  if (::close(fd) != 0 && err == 0) err = errno, step = "write error";
  if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) err = errno, step = "can not put it in place";
  if (err != 0) {
    ::unlink(temp.c_str());
    throw IoError(IoMessage(target, step, err));
  }
}

}  // namespace

void PlacePayload(uint8_t* buffer, size_t bufferSize, const uint8_t* bytes, size_t n) {
  std::memcpy(buffer, bytes, n);
  // Whatever the buffer held before (its marker, or an earlier payload) must not count as part of this one.
  std::memset(buffer + n, 0xFF, bufferSize - n);
}

BuildResult BuildUpdater(bool copyFirmware, bool copyLoader, CommandLine& cl, const std::string& selfPath) {
  BuildResult result;
  if (cl.TargetName.find(".exe") == std::string::npos) {
    if (cl.TargetName.empty() && copyLoader && !copyFirmware) {
      cl.TargetName = kLoaderOnlyTargetName;
    } else {
      cl.TargetName += ".exe";
    }
  }
  const std::string& target = cl.TargetName;
  result.OutputPath = target;

  try {
    struct stat self;
    if (::stat(selfPath.c_str(), &self) != 0) {
      throw Refusal{"Can not read the running program " + IoMessage(selfPath, errno)};
    }
    struct stat existing;
    if (::stat(target.c_str(), &existing) == 0 && existing.st_dev == self.st_dev &&
        existing.st_ino == self.st_ino) {
      throw Refusal{target + " is this updater's own file; choose another name"};
    }

    std::vector<uint8_t> image;
    try {
      image = ReadExecutable(selfPath);
    } catch (const IoError& e) {
      throw Refusal{std::string("Can not read the running program ") + e.what()};
    }
    PayloadLocation where;
    std::string why;
    if (!LocatePayload(image.data(), image.size(), &where, &why)) {
      throw Refusal{"Can not build " + target + ": " + selfPath + ": " + why};
    }

    if (copyFirmware) {
      auto bytes = ReadPayload(cl.FirmwarePath, "firmware", kFirmwareCopyLimit, kFirmwareMarkerByte);
      PlacePayload(image.data() + where.FirmwareOffset, kFirmwareBufferSize, bytes.data(), bytes.size());
    }
    if (copyLoader) {
      auto bytes = ReadPayload(cl.LoaderPath, "loader", kLoaderCopyLimit, kLoaderMarkerByte);
      PlacePayload(image.data() + where.LoaderOffset, kLoaderBufferSize, bytes.data(), bytes.size());
    }

    try {
      WriteImage(target, image, self.st_mode & 0777);
    } catch (const IoError& e) {
      throw Refusal{std::string("Can not write ") + e.what()};
    }
  } catch (const Refusal& r) {
    result.Message = r.message;
    return result;
  }
  result.Ok = true;
  result.ExitCode = 0;
  return result;
}

}  // namespace payload
