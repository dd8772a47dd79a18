#include "toolkit/QueuedRuntime.h"

namespace tk {

QueuedRuntime::QueuedRuntime() : uiThread_(std::this_thread::get_id()) {}

QueuedRuntime::~QueuedRuntime() {
  Shutdown();
}

bool QueuedRuntime::InUiThread() const {
  return std::this_thread::get_id() == uiThread_;
}

bool QueuedRuntime::Synchronize(const Method& fn) {
  if (InUiThread()) {
    fn();
    return true;
  }
  return calls_.CallAndWait(fn, [this] { WakeUiThread(); });
}

void QueuedRuntime::Shutdown() {
  calls_.Shutdown();
}

}  // namespace tk
