#include "toolkit/Runtime.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>

namespace tk {

void Timer::SetInterval(uint32_t ms) {
  if (ms == interval_) return;
  interval_ = ms;
  Update();
}

void Timer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Update();
}

void Timer::SetOnTimer(Method handler) {
  onTimer_ = std::move(handler);
  Update();
}

void Timer::Expired() {
  if (!enabled_ || interval_ == 0 || !onTimer_) return;
  const int64_t now = ClockUs();
  if (now < dueUs_) {
    // Woken early: wait for the rest, in whole milliseconds rounded up.
    Arm(static_cast<uint32_t>((dueUs_ - now + 999) / 1000));
    return;
  }
  // The next period counts from this firing, so that firings are never closer than the interval either.
  StartPeriod();
  // A handler may replace or clear itself; keep the callable alive for the call.
  Method handler = onTimer_;
  handler();
}

void Timer::StartPeriod() {
  dueUs_ = ClockUs() + static_cast<int64_t>(interval_) * 1000;
  Arm(interval_);
}

void Timer::Update() {
  Disarm();
  if (enabled_ && interval_ != 0 && onTimer_) StartPeriod();
}

void Runtime::MessageBox(const std::string& text, const std::string& caption) {
  if (messageBox_) {
    messageBox_(text, caption);
    return;
  }
  std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
}

namespace {
std::atomic<Runtime*> g_runtime{nullptr};
}

void Install(Runtime* runtime) {
  g_runtime.store(runtime, std::memory_order_release);
}

Runtime& App() {
  Runtime* r = g_runtime.load(std::memory_order_acquire);
  if (!r) throw std::logic_error("no toolkit runtime installed");
  return *r;
}

bool Installed() {
  return g_runtime.load(std::memory_order_acquire) != nullptr;
}

}  // namespace tk
