#include "toolkit/Sync.h"

#include <algorithm>
#include <chrono>
#include <vector>

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
// The threads that take turns on a single-threaded runtime. Touched on its one thread only.
std::vector<Thread*>& TurnTakers() {
  static std::vector<Thread*>* v = new std::vector<Thread*>;
  return *v;
}
}  // namespace

Thread::~Thread() {
  if (turns_) {
    auto& v = TurnTakers();
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
  }
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
  if (Installed() && App().SingleThreaded()) {
    turns_ = true;
    TurnTakers().push_back(this);
    return;
  }
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

bool Thread::HasTurns() {
  return !TurnTakers().empty();
}

bool Thread::RunTurns() {
  bool did = false;
  // A turn may start, end or delete threads, and run the loop (and so this) again: walk a copy, and give a
  // turn only to a thread that is still registered.
  const std::vector<Thread*> takers = TurnTakers();
  for (Thread* t : takers) {
    const auto& now = TurnTakers();
    if (std::find(now.begin(), now.end(), t) == now.end() || t->inTurn_) continue;
    if (!t->Terminated()) {
      t->inTurn_ = true;
      try {
        did = t->Turn() || did;
      } catch (...) {
        // As on a thread of its own: a worker's failure ends the worker, not the program.
        t->Terminate();
      }
      t->inTurn_ = false;
    }
    if (t->Terminated()) {
      t->EndTurns();
      did = true;
    }
  }
  return did;
}

void Thread::EndTurns() {
  auto& v = TurnTakers();
  v.erase(std::remove(v.begin(), v.end(), this), v.end());
  turns_ = false;
  try {
    LoopEnded();
  } catch (...) {
  }
  finished_.store(true, std::memory_order_release);
  if (freeOnTerminate_) delete this;
}

void Thread::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool Thread::WaitForDetachedThreads(uint32_t ms) {
  // On one thread a stopped free-on-terminate worker ends at its next turn: give it.
  if (!TurnTakers().empty() && Installed() && App().InUiThread()) {
    RunTurns();
    for (Thread* t : TurnTakers()) {
      if (t->freeOnTerminate_) return false;
    }
  }
  Detached& d = DetachedThreads();
  std::unique_lock<std::mutex> lock(d.mutex);
  return d.cv.wait_for(lock, std::chrono::milliseconds(ms), [&d] { return d.count == 0; });
}

}  // namespace tk
