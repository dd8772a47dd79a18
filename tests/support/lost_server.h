// A device server that goes away for good: it greets its first client as a server of the com-port option
// does, drops the connection after `holdMs`, and from then on lets no one in (its accept queue stays full, so
// a connect hangs until the client gives up).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class LostServer {
 public:
  explicit LostServer(int holdMs) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener_, 0);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, holdMs, a] {
      pollfd p{listener_, POLLIN, 0};
      while (!stop_ && ::poll(&p, 1, 20) != 1) {
      }
      if (stop_) return;
      const int conn = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      const uint8_t greeting[] = {255, 253, 44, 255, 251, 0, 255, 253, 0};  // DO COM-PORT, WILL/DO BINARY
      ::send(conn, greeting, sizeof greeting, MSG_NOSIGNAL);
      for (int ms = 0; ms < holdMs && !stop_; ms += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      // The queue is full before the client learns of the drop.
      for (int i = 0; i < 4; ++i) {
        fillers_.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ::connect(fillers_.back(), reinterpret_cast<const sockaddr*>(&a), sizeof a);
      }
      ::close(conn);
    });
  }
  ~LostServer() {
    stop_ = true;
    thread_.join();
    for (int f : fillers_) ::close(f);
    ::close(listener_);
  }
  std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::vector<int> fillers_;
  std::thread thread_;
};

}  // namespace testing_support
