// The calls that other threads hand to the UI thread, shared by the runtime implementations: a worker queues
// a call and waits until the UI thread has run it; the runtime runs what is queued from its event loop;
// shutting down releases every waiting worker without running its call.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "toolkit/Runtime.h"

namespace tk {

class CallQueue {
 public:
  CallQueue() = default;
  // Shuts down, then waits until every released worker has left CallAndWait: a worker still waking must not
  // find its mutex gone.
  ~CallQueue();
  CallQueue(const CallQueue&) = delete;
  CallQueue& operator=(const CallQueue&) = delete;

  // Queues fn, calls `wake` (to rouse the UI thread's loop), and waits until the call has run. Rethrows what
  // fn threw. False, with fn not run, when the queue is or becomes shut down.
  bool CallAndWait(const Method& fn, const std::function<void()>& wake = {});
  // Runs every queued call (UI thread); true when there was any.
  bool RunAll();
  void Shutdown();
  // Waits up to ms for a call to be queued or for shutdown.
  void WaitForWork(int64_t ms);
  bool ShutDown();

 private:
  struct Call {
    Method fn;
    bool done = false;
    bool cancelled = false;
    std::exception_ptr error;
    // Its worker waits here alone: a call's end wakes its own worker, not every worker waiting (a batch has
    // two threads a port).
    std::condition_variable doneCv;
  };

  std::mutex mutex_;
  std::condition_variable workCv_;  // the UI thread waits here for work
  std::condition_variable leftCv_;  // the destructor waits here for the workers inside CallAndWait
  int inside_ = 0;                  // workers inside CallAndWait
  std::deque<std::shared_ptr<Call>> queue_;
  bool shutDown_ = false;
};

}  // namespace tk
