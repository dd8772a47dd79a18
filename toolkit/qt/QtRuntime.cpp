#include "toolkit/qt/QtRuntime.h"

#include <QCoreApplication>
#include <QObject>
#include <QTimer>

namespace tk {

namespace {

// A precise single-shot QTimer as the wake-up: Qt's default coarse timers may come up to 5% early, which the
// base would then have to make up with a second wake-up.
class QtTimer : public Timer {
 public:
  QtTimer() {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Expired(); });
  }
  void Arm(uint32_t ms) override { timer_.start(static_cast<int>(ms)); }
  void Disarm() override { timer_.stop(); }

 private:
  QTimer timer_;
};

}  // namespace

QtRuntime::QtRuntime() : receiver_(std::make_unique<QObject>()) {
  if (auto* app = QCoreApplication::instance()) {
    QObject::connect(app, &QCoreApplication::aboutToQuit, receiver_.get(), [this] { Shutdown(); });
  }
}

QtRuntime::~QtRuntime() {
  // Before the receiver goes: no waiting caller may rouse the loop through it any more.
  Shutdown();
}

void QtRuntime::WakeUiThread() {
  QMetaObject::invokeMethod(
      receiver_.get(), [this] { RunQueued(); }, Qt::QueuedConnection);
}

void QtRuntime::ProcessMessages() {
  RunQueued();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtRuntime::WaitMessages(uint32_t ms) {
  if (RunQueued()) return;
  if (ms == 0) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return;
  }
  // The loop blocks until an event has been handled; this timer's own event is the one that ends a wait in
  // which nothing else comes. Its own object, so that a wait inside a handler of this one keeps its bound.
  QTimer bound;
  bound.setSingleShot(true);
  bound.setTimerType(Qt::PreciseTimer);
  bound.start(static_cast<int>(ms));
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  RunQueued();
}

uint32_t QtRuntime::TickCount() const {
  return MonotonicMs();
}

double QtRuntime::Now() const {
  return LocalDateTimeNow();
}

std::unique_ptr<Timer> QtRuntime::NewTimer() {
  return std::make_unique<QtTimer>();
}

}  // namespace tk
