// The part that every runtime with a real event loop shares: the UI thread is the thread that created the
// runtime, and other threads hand it calls through a queue that the loop runs. A derived runtime only says
// how its loop is roused (WakeUiThread) and runs the queue from it (RunQueued).
#pragma once

#include <thread>

#include "toolkit/CallQueue.h"
#include "toolkit/Runtime.h"

namespace tk {

class QueuedRuntime : public Runtime {
 public:
  ~QueuedRuntime() override;

  bool InUiThread() const override;
  bool Synchronize(const Method& fn) override;
  // Releases every thread waiting in Synchronize (their calls do not run); later calls return false at once.
  void Shutdown();

 protected:
  QueuedRuntime();

  // Called when a call has been queued, from the queuing thread: rouse the UI thread's loop. A loop that
  // waits on the queue itself (WaitForWork) needs nothing here.
  virtual void WakeUiThread() {}
  // Runs every queued call (UI thread); true when there was any.
  bool RunQueued() { return calls_.RunAll(); }
  // Waits up to ms for a call to be queued or for shutdown.
  void WaitForWork(int64_t ms) { calls_.WaitForWork(ms); }
  // True once Shutdown has run: nothing will be queued any more.
  bool ShutDown() { return calls_.ShutDown(); }

 private:
  std::thread::id uiThread_;
  CallQueue calls_;
};

}  // namespace tk
