// The toolkit runtime on Qt (QtCore only): the UI thread is the thread of the QCoreApplication, timers are
// QTimers, and Synchronize queues the call to the application's event loop. Calls that are still waiting when
// the loop ends are released (they return false), so no worker thread hangs at program end.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "toolkit/Runtime.h"

class QObject;

namespace tk {

class QtRuntime : public Runtime {
 public:
  // Create after the QCoreApplication (or QApplication), on its thread.
  QtRuntime();
  ~QtRuntime() override;

  bool InUiThread() const override;
  bool Synchronize(const Method& fn) override;
  void ProcessMessages() override;
  uint32_t TickCount() const override;
  double Now() const override;
  std::unique_ptr<Timer> NewTimer() override;

  // Releases every waiting Synchronize caller; later calls return false. Runs by itself when the application
  // is about to quit.
  void Shutdown();

 private:
  struct Call {
    Method fn;
    bool done = false;
    bool cancelled = false;
    std::exception_ptr error;
  };
  void RunQueued();

  std::thread::id uiThread_;
  std::unique_ptr<QObject> receiver_;
  std::mutex mutex_;
  std::condition_variable doneCv_;
  std::deque<std::shared_ptr<Call>> queue_;
  bool shutDown_ = false;
};

}  // namespace tk
