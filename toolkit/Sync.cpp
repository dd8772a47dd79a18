#include "toolkit/Sync.h"

#include <chrono>

namespace tk {

void Event::Set() {
  // Notify under the lock: a woken waiter may destroy the event as soon as the lock is free.
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = true;
  cv_.notify_all();
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = false;
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

bool Event::Wait(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (ms == kInfinite) {
    cv_.wait(lock, [this] { return set_; });
    return true;
  }
  return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return set_; });
}

namespace {
// Live free-on-terminate threads, so that program end can wait for them. Never destroyed: a detached thread
// may still be leaving while the process runs its exit handlers.
struct Detached {
  std::mutex mutex;
  std::condition_variable cv;
  int count = 0;
};
Detached& DetachedThreads() {
  static Detached* d = new Detached;
  return *d;
}
}  // namespace

Thread::~Thread() {
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      Terminate();
      thread_.join();
    }
  }
}

void Thread::StartThread(Priority /*priority*/) {
  // Thread priorities need privileges on Linux; the UI thread's Synchronize already serialises the work, so
  // the priority is a hint that this platform does not act on.
  if (freeOnTerminate_) {
    std::lock_guard<std::mutex> lock(DetachedThreads().mutex);
    ++DetachedThreads().count;
  }
  std::thread t([this] { Run(); });
  // A free-on-terminate thread may delete this object at any moment from now on: never store it.
  if (freeOnTerminate_) {
    t.detach();
  } else {
    thread_ = std::move(t);
  }
}

void Thread::Run() {
  const bool selfFree = freeOnTerminate_;
  try {
    Execute();
  } catch (...) {
    // A worker's failure must not take the process down; the thread simply ends.
  }
  finished_.store(true, std::memory_order_release);
  if (selfFree) {
    delete this;
    Detached& d = DetachedThreads();
    std::lock_guard<std::mutex> lock(d.mutex);
    --d.count;
    d.cv.notify_all();
  }
}

void Thread::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool Thread::WaitForDetachedThreads(uint32_t ms) {
  Detached& d = DetachedThreads();
  std::unique_lock<std::mutex> lock(d.mutex);
  return d.cv.wait_for(lock, std::chrono::milliseconds(ms), [&d] { return d.count == 0; });
}

}  // namespace tk
