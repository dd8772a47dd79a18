// The remote line's TCP connection in the browser: a page cannot open one (only WebSockets and fetch reach
// the network), so a device server is out of its reach. web/commos_web.cpp refuses rfc2217:// names before
// this is ever asked; this keeps serial/net linkable.
#include "serial/net/Socket.h"

namespace commos::net {

std::unique_ptr<Socket> Socket::Connect(const std::string& host, uint16_t port, int /*timeoutMs*/,
                                        std::string* why) {
  *why = "a web page cannot open a TCP connection to " + host + ":" + std::to_string(port) +
         " (remote ports need the Linux or Windows program)";
  return {};
}

}  // namespace commos::net
