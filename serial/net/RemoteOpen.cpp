// The open of a remote line: the connect, the server's telnet greeting and the negotiation (RemoteLine::Open,
// on whichever thread calls it), and the workers that run it off the caller's thread.
#include "serial/net/RemoteOpen.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "serial/PortName.h"
#include "serial/last_error.h"
#include "toolkit/Clock.h"

namespace commos::net {

namespace {

int64_t ClockMs() {
  return tk::MonotonicUs() / 1000;
}

// What a server wrote as text, on one line, for a message.
std::string Printable(const Bytes& bytes) {
  std::string text;
  for (const uint8_t b : bytes) {
    if (b >= 0x20 && b < 0x7F && text.size() < 80) text.push_back(static_cast<char>(b));
    if ((b == '\r' || b == '\n') && !text.empty() && text.back() != ' ') text.push_back(' ');
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// The name as the port's URL (an IPv6 host in brackets), its host and its TCP port; false with the reason
// recorded when it is no remote port name.
bool ParseRemote(const std::string& name, std::string* url, PortName* parsed) {
  *parsed = ParsePortName(name);
  if (parsed->kind != PortKind::Remote) {
    return detail::Record(name, parsed->why.empty() ? "not a remote port name" : parsed->why,
                          ErrorKind::Other, "");
  }
  const bool v6 = parsed->host.find(':') != std::string::npos;
  *url = std::string(kRemoteScheme) + (v6 ? "[" + parsed->host + "]" : parsed->host) + ":" +
         std::to_string(parsed->tcpPort);
  return true;
}

}  // namespace

std::unique_ptr<RemoteLine> RemoteLine::Open(const std::string& url, const std::string& host,
                                             uint16_t tcpPort, const std::atomic<bool>* cancel) {
  std::string why;
  std::unique_ptr<Socket> socket = Socket::Connect(host, tcpPort, kConnectMs, &why);
  if (!socket) {
    detail::Record(url, why, ErrorKind::Missing, "");
    return {};
  }
  std::unique_ptr<RemoteLine> line(new RemoteLine(url, std::move(socket)));
  RemoteLine& l = *line;
  std::lock_guard<std::mutex> lock(l.mutex_);
  // A device server greets first. Until it has, nothing is sent: on a raw TCP port any byte of ours would go
  // onto its serial line. After the greeting the answers to our requests tell what the server does; nothing
  // on the data path waits for one later.
  bool greeted = false;
  int64_t deadline = ClockMs() + kGreetingMs;
  for (;;) {
    if (l.Push() == IoResult::Failed || (l.Pump(), l.gone_)) {
      // A server whose line another client holds says so in a line of text, and hangs up.
      const std::string said = Printable(l.rx_);
      const bool busy = said.find("in use") != std::string::npos;
      detail::Record(url, l.lossText_ + (said.empty() ? "" : " (it said: \"" + said + "\")"),
                     busy ? ErrorKind::Busy : ErrorKind::Missing,
                     busy ? " (another client holds the device server's line)" : "");
      return {};
    }
    if (!greeted && l.nego_.Heard()) {
      greeted = true;
      l.nego_.Begin(l.out_);
      deadline = ClockMs() + kNegotiateMs;
      continue;
    }
    const int64_t left = deadline - ClockMs();
    if ((greeted && l.nego_.Settled()) || left <= 0 || (cancel && cancel->load())) break;
    // In short slices, so that a cancel is seen.
    l.socket_->Wait(true, l.outSent_ < l.out_.size(), nullptr, 0,
                    static_cast<int>(std::min<int64_t>(left, 50)));
  }
  if (cancel && cancel->load()) {
    detail::Record(url, "the open was cancelled", ErrorKind::Other, "");
    return {};
  }
  if (!greeted) {
    detail::Record(url, "does not speak RFC 2217 (no telnet negotiation): is it a raw TCP port?",
                   ErrorKind::Other, "");
    return {};
  }
  if (const std::string refusal = l.nego_.Refusal(); !refusal.empty()) {
    detail::Record(url, refusal, ErrorKind::Other, "");
    return {};
  }
  if (const std::string missing = l.nego_.Unconfirmed(); !missing.empty()) {
    l.notice_ = url + " did not confirm: " + missing;
  }
  return line;
}

std::unique_ptr<RemoteLine> RemoteLine::OpenName(const std::string& name) {
  std::string url;
  PortName parsed;
  if (!ParseRemote(name, &url, &parsed)) return {};
  return Open(url, parsed.host, parsed.tcpPort);
}

// ---- Off the caller's thread --------------------------------------------------------------------------

namespace {

// One connection being made, shared by its worker and whoever takes it; the worker touches nothing else.
struct Attempt {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::unique_ptr<RemoteLine> line;
  std::string error;  // the full text of the failure
  ErrorKind kind = ErrorKind::None;
  std::atomic<bool> cancelled{false};
  int64_t startMs = 0;
};

// What is known of one server: the connection being made, or when the next may start after a failure.
struct Server {
  std::shared_ptr<Attempt> attempt;
  int64_t notBeforeMs = 0;
  int pauseMs = kRetryFirstMs;
  std::string error;
  ErrorKind kind = ErrorKind::None;
};

// Never destroyed: a caller may open a line while the process runs its exit handlers.
struct Servers {
  std::mutex mutex;
  std::map<std::string, Server> byUrl;
};
Servers& All() {
  static Servers* s = new Servers;
  return *s;
}

// Beyond this an attempt can only be held by its name lookup (the connect and the negotiation are bounded).
constexpr int kAttemptMs = kLookupMs + kConnectMs + kGreetingMs + kNegotiateMs + 500;

std::shared_ptr<Attempt> Start(const std::string& url, const PortName& parsed) {
  auto a = std::make_shared<Attempt>();
  a->startMs = ClockMs();
  // Detached: it holds what it touches (the attempt) itself, and ends within the bounds above, but for a
  // name lookup that does not; nobody waits for it, so neither a close nor the program's end does.
  std::thread([a, url, host = parsed.host, port = parsed.tcpPort] {
    std::unique_ptr<RemoteLine> line = RemoteLine::Open(url, host, port, &a->cancelled);
    const std::string error = line ? std::string() : LastErrorText();
    const ErrorKind kind = LastErrorKind();
    std::unique_ptr<RemoteLine> unwanted;
    {
      std::lock_guard<std::mutex> lock(a->mutex);
      a->error = error;
      a->kind = kind;
      (a->cancelled ? unwanted : a->line) = std::move(line);
      a->finished = true;
      a->done.notify_all();
    }
  }).detach();
  return a;
}

}  // namespace

std::unique_ptr<RemoteLine> OpenRemoteLine(const std::string& name, bool wait) {
  std::string url;
  PortName parsed;
  if (!ParseRemote(name, &url, &parsed)) return {};
  Servers& all = All();
  std::shared_ptr<Attempt> a;
  {
    std::lock_guard<std::mutex> lock(all.mutex);
    Server& server = all.byUrl[url];
    if (!server.attempt && !wait && ClockMs() < server.notBeforeMs) {
      detail::Restore(server.error, server.kind);
      return {};
    }
    if (!server.attempt) server.attempt = Start(url, parsed);
    a = server.attempt;
  }
  std::unique_ptr<RemoteLine> line;
  std::string error;
  ErrorKind kind;
  {
    std::unique_lock<std::mutex> lock(a->mutex);
    const auto bound = std::chrono::milliseconds(a->startMs + kAttemptMs - ClockMs());
    if (wait) a->done.wait_for(lock, bound, [&] { return a->finished; });
    if (!a->finished && ClockMs() - a->startMs < kAttemptMs) {
      return detail::Record(url, "connecting", ErrorKind::Pending, ""), nullptr;
    }
    if (!a->finished) {
      // The lookup does not end: its worker drops whatever it brings.
      a->cancelled = true;
      error = url + ": no answer within " + std::to_string(kAttemptMs / 1000) + " s (the name lookup of " +
              parsed.host + " did not end)";
      kind = ErrorKind::Missing;
    } else {
      line = std::move(a->line);
      error = a->error;
      kind = a->kind;
    }
  }
  {
    std::lock_guard<std::mutex> lock(all.mutex);
    auto it = all.byUrl.find(url);
    if (it != all.byUrl.end() && it->second.attempt == a) {
      if (line) {
        all.byUrl.erase(it);
      } else {
        Server& server = it->second;
        server.attempt.reset();
        server.notBeforeMs = ClockMs() + server.pauseMs;
        server.pauseMs = std::min(server.pauseMs * 2, kRetryLongestMs);
        server.error = error;
        server.kind = kind;
      }
    }
  }
  if (!line) detail::Restore(error, kind);
  return line;
}

namespace {

// The server's URL for `name`, leaving the caller's last error alone; false when it is no remote port name.
bool QuietUrl(const std::string& name, std::string* url) {
  const std::string error = LastErrorText();
  const ErrorKind kind = LastErrorKind();
  PortName parsed;
  const bool remote = ParseRemote(name, url, &parsed);
  detail::Restore(error, kind);
  return remote;
}

}  // namespace

void CancelRemoteOpen(const std::string& name) {
  std::string url;
  if (!QuietUrl(name, &url)) return;
  std::shared_ptr<Attempt> a;
  {
    std::lock_guard<std::mutex> lock(All().mutex);
    auto it = All().byUrl.find(url);
    if (it == All().byUrl.end()) return;
    a = it->second.attempt;
    All().byUrl.erase(it);
  }
  if (!a) return;
  std::unique_ptr<RemoteLine> unwanted;
  std::lock_guard<std::mutex> lock(a->mutex);
  a->cancelled = true;
  unwanted = std::move(a->line);
}

bool RemoteOpenEnded(const std::string& name) {
  std::string url;
  if (!QuietUrl(name, &url)) return true;
  std::shared_ptr<Attempt> a;
  {
    std::lock_guard<std::mutex> lock(All().mutex);
    auto it = All().byUrl.find(url);
    if (it == All().byUrl.end() || !it->second.attempt) return true;
    a = it->second.attempt;
  }
  std::lock_guard<std::mutex> lock(a->mutex);
  // Past its bound the next open gives it up.
  return a->finished || ClockMs() - a->startMs >= kAttemptMs;
}

}  // namespace commos::net

namespace commos {

bool OpenEnded(const std::string& name) {
  return !LooksLikeUrl(name) || net::RemoteOpenEnded(name);
}

void CancelOpen(const std::string& name) {
  if (LooksLikeUrl(name)) net::CancelRemoteOpen(name);
}

}  // namespace commos
