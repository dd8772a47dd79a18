// brae-ports --probe: what a device server behind a remote port name (rfc2217://HOST:PORT) accepts, for a
// technician setting one up before an update.
#pragma once

#include <string>

namespace ports {

// Connects to `name`, asks what it can, and describes the answers in `text`. True when the port opens and
// the server accepted the com-port option (an update can set the line); false with the reason otherwise.
bool ProbeRemote(const std::string& name, std::string* text);

}  // namespace ports
