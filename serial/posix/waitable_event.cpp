// The waitable event as an eventfd: the monitor's poll can include it beside the device.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "serial/CommOs.h"

namespace commos {

WaitableEvent::WaitableEvent() : native_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WaitableEvent::~WaitableEvent() {
  if (native_ >= 0) ::close(native_);
}

void WaitableEvent::Set() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(native_, &one, sizeof one);
}

void WaitableEvent::Reset() {
  uint64_t value;
  [[maybe_unused]] ssize_t n = ::read(native_, &value, sizeof value);
}

bool WaitableEvent::IsSet() const {
  return Wait(0);
}

bool WaitableEvent::Wait(int ms) const {
  pollfd p{native_, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0 && (p.revents & POLLIN);
}

}  // namespace commos
