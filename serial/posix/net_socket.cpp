// The remote line's TCP connection on POSIX: a non-blocking socket, poll() beside the port's eventfds.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "serial/net/Socket.h"
#include "toolkit/Clock.h"

namespace commos::net {

namespace {

std::string Endpoint(const std::string& host, uint16_t port) {
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string ConnectError(int err, const std::string& where) {
  switch (err) {
    case ECONNREFUSED:
      return "connection refused by " + where;
    case ENETUNREACH:
    case EHOSTUNREACH:
      return "no route to " + where;
    default:
      return std::string(std::strerror(err)) + " (" + where + ")";
  }
}

class PosixSocket : public Socket {
 public:
  explicit PosixSocket(int fd) : fd_(fd) {}
  ~PosixSocket() override { ::close(fd_); }

  long Send(const uint8_t* data, size_t size) override {
    for (;;) {
      // MSG_NOSIGNAL: a connection the server has closed must fail the write, not end the process.
      const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      return Lose(errno);
    }
  }

  long Receive(uint8_t* data, size_t size) override {
    for (;;) {
      const ssize_t n = ::recv(fd_, data, size, 0);
      if (n > 0) return n;
      if (n == 0) {
        loss_ = "the server closed the connection";
        return -1;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      return Lose(errno);
    }
  }

  unsigned Wait(bool watchSocket, bool wantWrite, const NativeEvent* events, int count,
                int timeoutMs) override {
    pollfd fds[4] = {};
    fds[0].fd = watchSocket || wantWrite ? fd_ : -1;
    fds[0].events = static_cast<short>((watchSocket ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
    const int n = count > 3 ? 3 : count;
    for (int i = 0; i < n; ++i) fds[1 + i] = {events[i], POLLIN, 0};
    if (::poll(fds, static_cast<nfds_t>(1 + n), timeoutMs) <= 0) return 0;
    unsigned what = 0;
    // A hang-up or an error shows as readable: the next receive finds out which.
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) what |= kReadable;
    if (fds[0].revents & POLLOUT) what |= kWritable;
    for (int i = 0; i < n; ++i) {
      if (fds[1 + i].revents & POLLIN) what |= kWoken;
    }
    return what;
  }

  std::string LossText() const override { return loss_; }

 private:
  long Lose(int err) {
    loss_ = err == ECONNRESET ? "the server reset the connection"
            : err == EPIPE    ? "the server closed the connection"
                              : std::strerror(err);
    return -1;
  }

  int fd_;
  std::string loss_;
};

// Connects one address within the time left; the socket on success, -1 with *err otherwise.
int ConnectOne(const addrinfo& a, int64_t deadlineMs, int* err) {
  const int fd = ::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  if (::connect(fd, a.ai_addr, a.ai_addrlen) != 0 && errno != EINPROGRESS) {
    *err = errno;
    ::close(fd);
    return -1;
  }
  for (;;) {
    const int64_t left = deadlineMs - tk::MonotonicUs() / 1000;
    pollfd p{fd, POLLOUT, 0};
    const int r = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      *err = ETIMEDOUT;
      ::close(fd);
      return -1;
    }
    break;
  }
  int soError = 0;
  socklen_t len = sizeof soError;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
  if (soError != 0) {
    *err = soError;
    ::close(fd);
    return -1;
  }
  // Each block and its answer are small and wait for each other: no batching delay.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

std::unique_ptr<Socket> Socket::Connect(const std::string& host, uint16_t port, int timeoutMs,
                                        std::string* why) {
  const std::string where = Endpoint(host, port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (rc != 0 || !list) {
    *why = rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_FAIL || rc == EAI_AGAIN || !list
               ? "host not found (" + host + ")"
               : std::string(gai_strerror(rc)) + " (" + host + ")";
    if (list) freeaddrinfo(list);
    return {};
  }
  const int64_t deadline = tk::MonotonicUs() / 1000 + timeoutMs;
  int err = ETIMEDOUT;
  int fd = -1;
  for (const addrinfo* a = list; a && fd < 0; a = a->ai_next) fd = ConnectOne(*a, deadline, &err);
  freeaddrinfo(list);
  if (fd < 0) {
    *why = err == ETIMEDOUT ? "no answer within " + std::to_string(timeoutMs / 1000) + " s from " + where
                            : ConnectError(err, where);
    return {};
  }
  return std::make_unique<PosixSocket>(fd);
}

}  // namespace commos::net
