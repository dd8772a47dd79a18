// Opening a remote line off the caller's thread: the name lookup, the connect and the negotiation run on a
// worker of their own, one at a time for each server, so a server that does not answer holds no caller.
#pragma once

#include <memory>
#include <string>

#include "serial/net/RemoteLine.h"

namespace commos::net {

// A name lookup that has not ended by then is given up (the system's own lookup cannot be stopped).
constexpr int kLookupMs = 5000;
// A server that failed is tried again only after this pause, doubled after each failure up to the longest.
constexpr int kRetryFirstMs = 500;
constexpr int kRetryLongestMs = 5000;

// The line for "rfc2217://HOST:PORT". With `wait`, waits for the connection (at most the lookup's, the
// connect's and the negotiation's bounds). Without, never waits: the first call starts the connection and
// fails with kind Pending; while it is made every call says so again; the next call after it ended takes it,
// or its failure. A failure is then told again, without a new try, until the retry pause has passed. On
// failure: empty, with the reason as the last error.
std::unique_ptr<RemoteLine> OpenRemoteLine(const std::string& name, bool wait);
// The connection being made for `name` is not wanted any more: a finished one is closed, a running one is
// closed once it ends. The next open starts afresh, without a retry pause.
void CancelRemoteOpen(const std::string& name);
// Whether no connection is being made for `name` any more (it was made, it failed, or none was begun).
bool RemoteOpenEnded(const std::string& name);

}  // namespace commos::net
