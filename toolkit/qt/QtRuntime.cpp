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
  auto call = std::make_shared<Call>();
  call->fn = fn;
  std::unique_lock<std::mutex> lock(mutex_);
  if (shutDown_) return false;
  queue_.push_back(call);
  // The posted event only wakes the loop; the queue holds the work, so a lost or late event loses nothing.
  QMetaObject::invokeMethod(
      receiver_.get(), [this] { RunQueued(); }, Qt::QueuedConnection);
  doneCv_.wait(lock, [&] { return call->done || call->cancelled; });
  if (call->cancelled) return false;
  if (call->error) std::rethrow_exception(call->error);
  return true;
}

void QtRuntime::RunQueued() {
  for (;;) {
    std::shared_ptr<Call> call;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) return;
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
    doneCv_.notify_all();
  }
}

void QtRuntime::Shutdown() {
  std::lock_guard<std::mutex> lock(mutex_);
  shutDown_ = true;
  for (auto& call : queue_) call->cancelled = true;
  queue_.clear();
  doneCv_.notify_all();
}

void QtRuntime::ProcessMessages() {
  RunQueued();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

uint32_t QtRuntime::TickCount() const {
  return MonotonicMs();
}

double QtRuntime::Now() const {
  const QDateTime now = QDateTime::currentDateTime();
  return DateTimeFromUnixMs(now.toMSecsSinceEpoch(), static_cast<int64_t>(now.offsetFromUtc()) * 1000);
}

std::unique_ptr<Timer> QtRuntime::NewTimer() {
  return std::make_unique<QtTimer>();
}

}  // namespace tk
