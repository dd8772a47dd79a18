#include "toolkit/qt/QtRuntime.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QObject>
#include <QTimer>

namespace tk {

namespace {

class QtTimer : public Timer {
 public:
  QtTimer() {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Fire(); });
  }
  void Arm(uint32_t ms) override { timer_.start(static_cast<int>(ms)); }
  void Disarm() override { timer_.stop(); }

 private:
  QTimer timer_;
};

}  // namespace

QtRuntime::QtRuntime() : uiThread_(std::this_thread::get_id()), receiver_(std::make_unique<QObject>()) {
  if (auto* app = QCoreApplication::instance()) {
    QObject::connect(app, &QCoreApplication::aboutToQuit, receiver_.get(), [this] { Shutdown(); });
  }
}

QtRuntime::~QtRuntime() {
  Shutdown();
}

bool QtRuntime::InUiThread() const {
  return std::this_thread::get_id() == uiThread_;
}

bool QtRuntime::Synchronize(const Method& fn) {
  if (InUiThread()) {
    fn();
    return true;
  }
  return calls_.CallAndWait(fn, [this] {
    QMetaObject::invokeMethod(
        receiver_.get(), [this] { calls_.RunAll(); }, Qt::QueuedConnection);
  });
}

void QtRuntime::Shutdown() {
  calls_.Shutdown();
}

void QtRuntime::ProcessMessages() {
  calls_.RunAll();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
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
