#include "toolkit/CallQueue.h"

#include <chrono>

namespace tk {

CallQueue::~CallQueue() {
  Shutdown();
  std::unique_lock<std::mutex> lock(mutex_);
  leftCv_.wait(lock, [this] { return inside_ == 0; });
}

bool CallQueue::CallAndWait(const Method& fn, const std::function<void()>& wake) {
  auto call = std::make_shared<Call>();
  call->fn = fn;
  std::unique_lock<std::mutex> lock(mutex_);
  if (shutDown_) return false;
  ++inside_;
  // Every way out, a rethrow included, leaves under the lock.
  struct Leave {
    CallQueue* q;
    ~Leave() {
      if (--q->inside_ == 0 && q->shutDown_) q->leftCv_.notify_all();
    }
  } leave{this};
  queue_.push_back(call);
  workCv_.notify_all();
  // The wake-up only rouses the loop; the queue holds the work, so a lost or late wake-up loses nothing.
  if (wake) wake();
  call->doneCv.wait(lock, [&] { return call->done || call->cancelled; });
  if (call->cancelled) return false;
  if (call->error) std::rethrow_exception(call->error);
  return true;
}

bool CallQueue::RunAll() {
  bool ran = false;
  for (;;) {
    std::shared_ptr<Call> call;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) break;
      call = queue_.front();
      queue_.pop_front();
    }
    try {
      call->fn();
    } catch (...) {
      call->error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      call->done = true;
    }
    // Outside the lock, so the worker does not wake only to wait for it; `call` keeps its record alive.
    call->doneCv.notify_one();
    ran = true;
  }
  return ran;
}

void CallQueue::Shutdown() {
  std::lock_guard<std::mutex> lock(mutex_);
  shutDown_ = true;
  for (auto& call : queue_) {
    call->cancelled = true;
    call->doneCv.notify_one();
  }
  queue_.clear();
  workCv_.notify_all();
}

void CallQueue::WaitForWork(int64_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  workCv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !queue_.empty() || shutDown_; });
}

bool CallQueue::ShutDown() {
  std::lock_guard<std::mutex> lock(mutex_);
  return shutDown_;
}

}  // namespace tk
