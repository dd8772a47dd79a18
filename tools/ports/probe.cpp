#include "probe.h"

#include <memory>

#include "serial/CommOs.h"
#include "serial/PortName.h"
#include "serial/net/RemoteLine.h"

namespace ports {

namespace {

// How long the probe waits for the server's answers (a server that never answers some costs this once).
constexpr int kAnswerMs = 1000;

std::string List(const std::vector<std::string>& items) {
  std::string s;
  for (const std::string& i : items) s += (s.empty() ? "" : ", ") + i;
  return s.empty() ? "none" : s;
}

}  // namespace

bool ProbeRemote(const std::string& name, std::string* text) {
  if (commos::ParsePortName(name).kind != commos::PortKind::Remote) {
    *text = name + ": not a remote port name (rfc2217://HOST:PORT)\n";
    return false;
  }
  const std::unique_ptr<commos::net::RemoteLine> line = commos::net::RemoteLine::OpenName(name);
  if (!line) {
    *text = commos::LastErrorText() + "\n";
    return false;
  }
  line->TakeNotice();  // the probe says it all below
  const commos::net::RemoteLine::Status s = line->Describe(kAnswerMs);
  std::string& t = *text;
  t = line->Url() + ": connected\n";
  t += "  binary:     " + std::string(s.binary ? "both ways" : "not agreed (bytes 0x80-0xFF may not pass)") +
       "\n";
  t += "  com-port:   " +
       std::string(s.comPort ? "accepted" : "refused (the rate and other settings cannot reach the line)") +
       "\n";
  if (s.comPort) {
    t += "  rate:       " +
         (s.rate ? std::to_string(s.rate) + " baud (as the server reports it)" : "not told") + "\n";
    t += "  confirmed:  " + List(s.confirmed) + "\n";
    t += "  unanswered: " + List(s.unconfirmed) + "\n";
    if (!s.signature.empty()) t += "  server:     " + s.signature + "\n";
  }
  if (s.gone) {
    t += "  the server closed the connection during the probe\n";
    return false;
  }
  return s.comPort;
}

}  // namespace ports
