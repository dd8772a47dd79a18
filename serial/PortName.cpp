#include "serial/PortName.h"

#include <algorithm>

#include "serial/PortNumber.h"

namespace commos {

namespace {

char Lower(char c) {
  return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(s[i]) != Lower(prefix[i])) return false;
  }
  return true;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool HostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '-' || c == '.' || c == '_';
}

PortName Invalid(const std::string& why) {
  PortName p;
  p.why = why;
  return p;
}

const char* const kForms = "a port is named ComN, a device path such as /dev/ttyUSB0, or rfc2217://HOST:PORT";

PortName ParseRemote(const std::string& name) {
  const std::string rest = name.substr(std::string(kRemoteScheme).size());
  std::string host;
  std::string port;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return Invalid("\"" + name + "\": the IPv6 address has no closing ]");
    host = rest.substr(1, close - 1);
    if (host.empty() || !std::all_of(host.begin(), host.end(), [](char c) {
          return IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'f') || c == ':' || c == '.';
        })) {
      return Invalid("\"" + name + "\": \"" + host + "\" is not an IPv6 address");
    }
    if (close + 1 >= rest.size() || rest[close + 1] != ':') {
      return Invalid("\"" + name + "\" has no TCP port: write rfc2217://HOST:PORT");
    }
    port = rest.substr(close + 2);
  } else {
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos)
      return Invalid("\"" + name + "\" has no TCP port: write rfc2217://HOST:PORT");
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (host.empty()) return Invalid("\"" + name + "\" has no host: write rfc2217://HOST:PORT");
    if (!std::all_of(host.begin(), host.end(), HostChar)) {
      return Invalid("\"" + name + "\": \"" + host + "\" is not a host name");
    }
  }
  if (!port.empty() && port.back() == '/') port.pop_back();  // a URL is often written with a closing slash
  if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), IsDigit)) {
    return Invalid("\"" + name + "\": the TCP port must be a number from 1 to 65535");
  }
  const long number = std::stol(port);
  if (number < 1 || number > 65535) {
    return Invalid("\"" + name + "\": the TCP port must be a number from 1 to 65535");
  }
  PortName p;
  p.kind = PortKind::Remote;
  p.host = host;
  p.tcpPort = static_cast<uint16_t>(number);
  return p;
}

}  // namespace

bool LooksLikeUrl(const std::string& name) {
  const size_t sep = name.find("://");
  if (sep == std::string::npos || sep == 0) return false;
  return std::all_of(name.begin(), name.begin() + static_cast<long>(sep),
                     [](char c) { return (Lower(c) >= 'a' && Lower(c) <= 'z') || IsDigit(c) || c == '+'; });
}

PortName ParsePortName(const std::string& name) {
  if (name.empty()) return Invalid(std::string("The port name is empty: ") + kForms);
  if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
    return Invalid("The port name holds a control character: " + std::string(kForms));
  }
  if (StartsWithNoCase(name, kRemoteScheme)) return ParseRemote(name);
  if (LooksLikeUrl(name)) {
    return Invalid("\"" + name + "\": the only kind of URL is rfc2217://HOST:PORT");
  }
  // Windows' device namespace: "\\.\COM37" is COM37; any other name there is a device path.
  std::string bare = name;
  if (StartsWithNoCase(name, "\\\\.\\")) bare = name.substr(4);
  if (StartsWithNoCase(bare, "com") && bare.size() > 3 &&
      std::all_of(bare.begin() + 3, bare.end(), IsDigit)) {
    const long n = ComNumber(bare);
    if (n < 1 || n > kMaxComNumber) {
      return Invalid("\"" + name + "\": COM ports are numbered from 1 to " + std::to_string(kMaxComNumber));
    }
    PortName p;
    p.kind = PortKind::Com;
    p.com = n;
    return p;
  }
  if (name[0] == '/' || bare.size() != name.size()) {
    if (bare.empty()) return Invalid("\"" + name + "\" names no device: " + kForms);
    PortName p;
    p.kind = PortKind::Device;
    p.path = name;
    return p;
  }
  return Invalid("\"" + name + "\" is not a port name: " + kForms);
}

}  // namespace commos
