// The toolkit runtime on Qt (QtCore only): the UI thread is the thread of the QCoreApplication, timers are
// QTimers, and Synchronize queues the call to the application's event loop. Calls that are still waiting when
// the loop ends are released (they return false), so no worker thread hangs at program end.
#pragma once

#include <memory>
#include <thread>

#include "toolkit/CallQueue.h"
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
  std::thread::id uiThread_;
  std::unique_ptr<QObject> receiver_;
  CallQueue calls_;
};

}  // namespace tk
