// The toolkit runtime on Qt (QtCore only): the UI thread is the thread of the QCoreApplication, timers are
// QTimers, and Synchronize queues the call to the application's event loop. Calls that are still waiting when
// the loop ends are released (they return false), so no worker thread hangs at program end.
#pragma once

#include <memory>

#include "toolkit/QueuedRuntime.h"

class QObject;

namespace tk {

class QtRuntime : public QueuedRuntime {
 public:
  // Create after the QCoreApplication (or QApplication), on its thread. Shutdown runs by itself when the
  // application is about to quit.
  QtRuntime();
  ~QtRuntime() override;

  void ProcessMessages() override;
  void WaitMessages(uint32_t ms) override;
  uint32_t TickCount() const override;
  double Now() const override;
  std::unique_ptr<Timer> NewTimer() override;

 private:
  void WakeUiThread() override;

  std::unique_ptr<QObject> receiver_;
};

}  // namespace tk
