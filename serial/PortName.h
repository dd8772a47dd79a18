// What a port name given by the user (/p) stands for: a numbered port ("Com37", also written "\\.\COM37"),
// a device path ("/dev/ttyUSB0"), or a serial line behind a device server ("rfc2217://HOST:PORT"). Checked
// before anything opens, so that a mistyped name is told at once, not found out by a scan that never ends.
#pragma once

#include <cstdint>
#include <string>

namespace commos {

enum class PortKind { Invalid, Com, Device, Remote };

struct PortName {
  PortKind kind = PortKind::Invalid;
  long com = 0;          // Com: N, 1..kMaxComNumber
  std::string path;      // Device: the path as given
  std::string host;      // Remote: a host name, an IPv4 address, or an IPv6 address without its brackets
  uint16_t tcpPort = 0;  // Remote
  std::string why;       // Invalid: what is wrong with it, in a sentence for the technician
};

// Windows numbers its ports up to COM255.
constexpr long kMaxComNumber = 255;

// The URL scheme of a remote line.
inline constexpr const char* kRemoteScheme = "rfc2217://";

PortName ParsePortName(const std::string& name);

// True when the name is meant as a URL ("scheme://..."), valid or not: such a name is never a device path.
bool LooksLikeUrl(const std::string& name);

}  // namespace commos
