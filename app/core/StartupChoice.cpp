#include "app/core/StartupChoice.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include "app/core/Texts.h"
#include "payload/CommandLine.h"

namespace app {

bool UseConsole(const char* braeConsole, const char* display, const char* waylandDisplay) {
  if (braeConsole && (std::strcmp(braeConsole, "1") == 0 || std::strcmp(braeConsole, "json") == 0))
    return true;
  if (braeConsole && std::strcmp(braeConsole, "0") == 0) return false;
  const bool hasDisplay = (display && *display) || (waylandDisplay && *waylandDisplay);
  return !hasDisplay;
}

namespace {

bool ConnectUnix(const std::string& path, bool abstract) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const size_t offset = abstract ? 1 : 0;  // an abstract name starts with a NUL byte
  if (path.size() + offset >= sizeof addr.sun_path) {
    close(fd);
    return false;
  }
  std::memcpy(addr.sun_path + offset, path.data(), path.size());
  const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  close(fd);
  return ok;
}

bool ConnectTcp(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  bool ok = false;
  for (addrinfo* a = found; a && !ok; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      ok = true;
    } else if (errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int err = 0;
      socklen_t len = sizeof err;
      ok = poll(&p, 1, 1000) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
    close(fd);
  }
  freeaddrinfo(found);
  return ok;
}

}  // namespace

bool XDisplayReachable(const char* display) {
  if (!display || !*display) return false;
  const std::string d = display;
  const size_t colon = d.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = d.substr(0, colon);
  std::string number = d.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  if (host.empty() || host == "unix") {
    const std::string path = "/tmp/.X11-unix/X" + number;
    return ConnectUnix(path, false) || ConnectUnix(path, true);
  }
  return ConnectTcp(host, 6000 + std::stoi(number));
}

namespace {

bool SameParse(const payload::CommandLine& a, const payload::CommandLine& b) {
  return a.RunMode == b.RunMode && a.TargetName == b.TargetName && a.FirmwarePath == b.FirmwarePath &&
         a.LoaderPath == b.LoaderPath && a.BootFlag == b.BootFlag && a.ExitWhenDone == b.ExitWhenDone &&
         a.ShowDebugButton == b.ShowDebugButton;
}

}  // namespace

InfoRequest RequestedInfo(const std::vector<std::string>& args) {
  const payload::CommandLine parsed = payload::ParseCommandLine(args);
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    const InfoRequest request = a == "--help" || a == "-h" || a == "/?" ? InfoRequest::kHelp
                                : a == "--version"                      ? InfoRequest::kVersion
                                                                        : InfoRequest::kNone;
    if (request == InfoRequest::kNone) continue;
    // The command line's own rules decide whether the word is a value: as one, putting another word in its
    // place changes what it parses to; an argument it ignores changes nothing.
    std::vector<std::string> other = args;
    other[i].clear();
    if (SameParse(payload::ParseCommandLine(other), parsed)) return request;
  }
  return InfoRequest::kNone;
}

std::string UsageText(const std::string& logDirectory) {
  std::string text =
      "Usage: brae-update [options]\n"
      "Updates the firmware of a Veltrona Series Brae weighing indicator on a serial port, or writes a copy\n"
      "of this program that carries a firmware image and/or a loader. With a display it opens its window,\n"
      "otherwise it runs in the terminal.\n"
      "\n"
      "  (no arguments)            update from the loader and firmware this program carries\n"
      "  /i b.bin                  update from the firmware file, with the loader this program carries\n"
      "  /i b.bin b.s19            update from both files\n"
      "  /u Name b.bin [/l b.s19]  write Name.exe: a copy of this program carrying the file(s)\n"
      "  /l b.s19                  write UpdateLoad.exe: a copy carrying the loader\n"
      "  /b                        the indicator is already in its boot loader\n"
      "  /x                        end as soon as the update ends, also after success\n"
      "  --help, -h, /?            show this text and end\n"
      "  --version                 show the version and end\n"
      "Options also take a backslash (\\u), except /x; letters in any case. Any argument at all shows the\n"
      "\"DiagnosticMode\" button.\n"
      "\n"
      "Environment:\n"
      "  BRAE_PORT_DIR     ComN opens $BRAE_PORT_DIR/comN and nothing else (simulated indicators); unset,\n"
      "                    ComN is the N-th serial device, USB adapters first (brae-ports lists them)\n"
      "  BRAE_LOG_DIR      the directory of the error log file\n"
      "  BRAE_CONSOLE      1: the terminal; 0: the window; unset: the window when there is a display\n"
      "  BRAE_CONSOLE_LOG  1: in the terminal, also write the diagnostic log live to stderr\n"
      "\n"
      "Exit codes:\n"
      "  0  the indicator confirmed the update, or a build wrote its file (also --help and --version)\n"
      "  1  anything else: quit during an update, a missing payload or file, an update without success\n"
      "\n"
      "Error log file, written at every end of an update or build:\n"
      "  " +
      std::string(kLogFileName) +
      " in $BRAE_LOG_DIR,\n"
      "  else in ${XDG_STATE_HOME:-$HOME/.local/state}/brae-update\n";
  if (!logDirectory.empty()) text += "  here: " + logDirectory + "/" + kLogFileName + "\n";
  return text;
}

std::string VersionText() {
  // The package's version first, then the one the window title shows.
  return std::string("brae-update ") + kProjectVersion + " (ver" + kVersionText + ")\n";
}

}  // namespace app
