// The remote line's TCP connection on Windows: a non-blocking Winsock socket whose network events set an
// event object, waited on with WaitForMultipleObjects beside the port's own events. CommOs.h before the
// system headers, whose macros carry the names of its constants (as in win.h).
#include "serial/net/Socket.h"
#include "toolkit/Clock.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

namespace commos::net {

namespace {

// A write left pending is pushed on when the socket has room again. Winsock says so once per refused send,
// and either thread's wait may take that notice: the waits for room look again this often.
constexpr int kRoomPollMs = 20;

bool StartWinsock() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    WSADATA data;
    ok = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return ok;
}

std::string Endpoint(const std::string& host, uint16_t port) {
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string ErrorText(int err, const std::string& where) {
  switch (err) {
    case WSAECONNREFUSED:
      return "connection refused by " + where;
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
      return "no route to " + where;
    case WSAECONNRESET:
    case WSAECONNABORTED:
      return "the server reset the connection";
    default:
      return "network error " + std::to_string(err) + " (" + where + ")";
  }
}

class WinSocket : public Socket {
 public:
  WinSocket(SOCKET s, std::string where) : s_(s), where_(std::move(where)), event_(WSACreateEvent()) {
    WSAEventSelect(s_, event_, FD_READ | FD_WRITE | FD_CLOSE);
  }
  ~WinSocket() override {
    closesocket(s_);
    WSACloseEvent(event_);
  }

  long Send(const uint8_t* data, size_t size) override {
    const int chunk = size > 65536 ? 65536 : static_cast<int>(size);
    const int n = ::send(s_, reinterpret_cast<const char*>(data), chunk, 0);
    if (n >= 0) return n;
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) return 0;
    loss_ = ErrorText(err, where_);
    return -1;
  }

  long Receive(uint8_t* data, size_t size) override {
    const int n = ::recv(s_, reinterpret_cast<char*>(data), static_cast<int>(size), 0);
    if (n > 0) return n;
    if (n == 0) {
      loss_ = "the server closed the connection";
      return -1;
    }
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) return 0;
    loss_ = ErrorText(err, where_);
    return -1;
  }

  unsigned Wait(bool watchSocket, bool wantWrite, const NativeEvent* events, int count,
                int timeoutMs) override {
    HANDLE waits[4];
    DWORD n = 0;
    if (watchSocket || wantWrite) waits[n++] = event_;
    for (int i = 0; i < count && n < 4; ++i) waits[n++] = events[i];
    if (wantWrite && (timeoutMs < 0 || timeoutMs > kRoomPollMs)) timeoutMs = kRoomPollMs;
    const DWORD ms = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    const DWORD w = n == 0 ? (Sleep(ms == INFINITE ? 50 : ms), WAIT_TIMEOUT)
                           : WaitForMultipleObjects(n, waits, FALSE, ms);
    unsigned what = 0;
    if ((watchSocket || wantWrite) && w == WAIT_OBJECT_0) {
      WSANETWORKEVENTS ne{};
      WSAEnumNetworkEvents(s_, event_, &ne);
      if (ne.lNetworkEvents & (FD_READ | FD_CLOSE)) what |= kReadable;
      if (ne.lNetworkEvents & FD_WRITE) what |= kWritable;
    } else if (w >= WAIT_OBJECT_0 && w < WAIT_OBJECT_0 + n) {
      what |= kWoken;
    }
    if (wantWrite && w == WAIT_TIMEOUT) what |= kWritable;  // worth a try: see kRoomPollMs
    return what;
  }

  std::string LossText() const override { return loss_; }

 private:
  SOCKET s_;
  std::string where_;
  WSAEVENT event_;
  std::string loss_;
};

// Connects one address within the time left; the socket on success, INVALID_SOCKET with *err otherwise.
SOCKET ConnectOne(const addrinfo& a, int64_t deadlineMs, int* err) {
  SOCKET s = ::socket(a.ai_family, a.ai_socktype, a.ai_protocol);
  if (s == INVALID_SOCKET) {
    *err = WSAGetLastError();
    return s;
  }
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  if (::connect(s, a.ai_addr, static_cast<int>(a.ai_addrlen)) != 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
    *err = WSAGetLastError();
    closesocket(s);
    return INVALID_SOCKET;
  }
  const int64_t left = deadlineMs - tk::MonotonicUs() / 1000;
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval tv{};
  tv.tv_sec = static_cast<long>(left > 0 ? left / 1000 : 0);
  tv.tv_usec = static_cast<long>(left > 0 ? (left % 1000) * 1000 : 0);
  const int r = ::select(0, nullptr, &writable, &failed, &tv);
  int soError = 0;
  int len = sizeof soError;
  if (r > 0) getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
  if (r <= 0 || FD_ISSET(s, &failed) || soError != 0) {
    *err = r == 0 ? WSAETIMEDOUT : soError != 0 ? soError : WSAECONNREFUSED;
    closesocket(s);
    return INVALID_SOCKET;
  }
  // Each block and its answer are small and wait for each other: no batching delay.
  const BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return s;
}

}  // namespace

std::unique_ptr<Socket> Socket::Connect(const std::string& host, uint16_t port, int timeoutMs,
                                        std::string* why) {
  const std::string where = Endpoint(host, port);
  if (!StartWinsock()) {
    *why = "the network is not available (Winsock did not start)";
    return {};
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (rc != 0 || !list) {
    *why = "host not found (" + host + ")";
    if (list) freeaddrinfo(list);
    return {};
  }
  const int64_t deadline = tk::MonotonicUs() / 1000 + timeoutMs;
  int err = WSAETIMEDOUT;
  SOCKET s = INVALID_SOCKET;
  for (const addrinfo* a = list; a && s == INVALID_SOCKET; a = a->ai_next) s = ConnectOne(*a, deadline, &err);
  freeaddrinfo(list);
  if (s == INVALID_SOCKET) {
    *why = err == WSAETIMEDOUT ? "no answer within " + std::to_string(timeoutMs / 1000) + " s from " + where
                               : ErrorText(err, where);
    return {};
  }
  return std::make_unique<WinSocket>(s, where);
}

}  // namespace commos::net
