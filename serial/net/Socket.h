// The TCP connection under a remote line: the few socket calls it needs, each operating system's in a file of
// its own (posix/net_socket.cpp, win32/net_socket.cpp). Non-blocking; nothing here waits except Connect and
// Wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "serial/CommOs.h"

namespace commos::net {

class Socket {
 public:
  // Connects within `timeoutMs`. On failure: empty, and `why` says what happened in words for the technician
  // ("connection refused by 127.0.0.1:7000", "host not found", "no answer within 3 s").
  static std::unique_ptr<Socket> Connect(const std::string& host, uint16_t port, int timeoutMs,
                                         std::string* why);
  virtual ~Socket() = default;

  // What the connection took now: the number of bytes (0 when it has no room), or -1 when it is lost.
  virtual long Send(const uint8_t* data, size_t size) = 0;
  // What has arrived: the number of bytes (0 when nothing has), or -1 when the connection is closed or lost.
  virtual long Receive(uint8_t* data, size_t size) = 0;

  enum : unsigned { kReadable = 1, kWritable = 2, kWoken = 4 };
  // Waits at most `timeoutMs` (-1: no limit) until data arrives or the connection ends (when `watchSocket`),
  // until it has room (when `wantWrite`), or until one of the `count` events is set. Returns the k* bits of
  // what happened, 0 on time-out.
  virtual unsigned Wait(bool watchSocket, bool wantWrite, const NativeEvent* events, int count,
                        int timeoutMs) = 0;

  // The last loss's reason, for the log ("connection reset by the server").
  virtual std::string LossText() const = 0;
};

}  // namespace commos::net
