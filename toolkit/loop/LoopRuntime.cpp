#include "toolkit/loop/LoopRuntime.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace tk {

class LoopRuntime::LoopTimer : public Timer {
 public:
  explicit LoopTimer(LoopRuntime* rt) : rt_(rt) {}
  ~LoopTimer() override { rt_->Unschedule(this); }

  void Arm(uint32_t ms) override {
    rt_->Unschedule(this);
    // Rounded up to the loop's whole milliseconds, so that the loop never wakes the timer early.
    rt_->Schedule(this, (rt_->ClockUs() + static_cast<int64_t>(ms) * 1000 + 999) / 1000);
  }
  void Disarm() override { rt_->Unschedule(this); }
  int64_t ClockUs() const override { return rt_->ClockUs(); }
  void WakeUp() { Expired(); }

  bool scheduled = false;
  std::pair<int64_t, uint64_t> key{};

 private:
  LoopRuntime* rt_;
};

LoopRuntime::LoopRuntime(Clock clock) : clock_(clock) {
  realBaseUs_ = MonotonicUs();
  // A fixed, ordinary moment for the virtual clock: 2026-12-08 10:00:00.000.
  dateBase_ = clock == Clock::Virtual ? 46364.0 + 10.0 / 24.0 : 0;
}

LoopRuntime::~LoopRuntime() {
  Shutdown();
}

void LoopRuntime::ProcessMessages() {
  if (clock_ == Clock::Virtual && autoAdvanceMs_ > 0) {
    Advance(autoAdvanceMs_);
    return;
  }
  RunQueued();
  FireDueTimers(ClockMs());
  RunQueued();
}

void LoopRuntime::WaitMessages(uint32_t ms) {
  if (clock_ == Clock::Virtual) {
    if (autoAdvanceMs_ > 0) {
      Advance(autoAdvanceMs_);
      return;
    }
    if (!RunQueued() && !FireDueTimers(nowMs_)) WaitForWork(ms);
    RunQueued();
    return;
  }
  const bool ran = RunQueued();
  if (FireDueTimers(ClockMs()) || ran) return;
  int64_t wait = ms;
  const int64_t next = NextDeadline();
  if (next >= 0) wait = std::min<int64_t>(wait, std::max<int64_t>(0, next - ClockMs()));
  if (ShutDown()) {
    // Nothing can be queued any more, and the queue's wait would return at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(wait));
  } else {
    WaitForWork(wait);
  }
  RunQueued();
  FireDueTimers(ClockMs());
  RunQueued();
}

int64_t LoopRuntime::ClockUs() const {
  return clock_ == Clock::Virtual ? nowMs_ * 1000 : MonotonicUs() - realBaseUs_;
}

uint32_t LoopRuntime::TickCount() const {
  if (clock_ == Clock::Real) return MonotonicMs();
  return tickBase_ + static_cast<uint32_t>(nowMs_);
}

double LoopRuntime::Now() const {
  if (clock_ == Clock::Real) return LocalDateTimeNow();
  return dateBase_ + static_cast<double>(nowMs_) / 86400000.0;
}

void LoopRuntime::SetVirtualClock(uint32_t tick, double dateTime) {
  tickBase_ = tick - static_cast<uint32_t>(nowMs_);
  dateBase_ = dateTime - static_cast<double>(nowMs_) / 86400000.0;
}

std::unique_ptr<Timer> LoopRuntime::NewTimer() {
  return std::make_unique<LoopTimer>(this);
}

void LoopRuntime::Schedule(LoopTimer* t, int64_t deadline) {
  t->key = {deadline, seq_++};
  schedule_.emplace(t->key, t);
  t->scheduled = true;
}

void LoopRuntime::Unschedule(LoopTimer* t) {
  if (!t->scheduled) return;
  auto range = schedule_.equal_range(t->key);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == t) {
      schedule_.erase(it);
      break;
    }
  }
  t->scheduled = false;
}

bool LoopRuntime::FireDueTimers(int64_t upTo) {
  bool fired = false;
  while (!schedule_.empty()) {
    auto it = schedule_.begin();
    if (it->first.first > upTo) break;
    LoopTimer* t = it->second;
    const int64_t due = it->first.first;
    schedule_.erase(it);
    t->scheduled = false;
    if (clock_ == Clock::Virtual && due > nowMs_) nowMs_ = due;
    // The timer checks its clock itself: it fires (and arms its next period) or asks for the rest.
    t->WakeUp();
    fired = true;
    RunQueued();
  }
  return fired;
}

void LoopRuntime::Advance(uint32_t ms) {
  const int64_t target = nowMs_ + ms;
  RunQueued();
  FireDueTimers(target);
  nowMs_ = target;
  RunQueued();
}

bool LoopRuntime::RunUntil(const std::function<bool()>& pred, uint32_t realTimeoutMs) {
  const int64_t end = MonotonicUs() / 1000 + realTimeoutMs;
  for (;;) {
    RunQueued();
    if (clock_ == Clock::Real) FireDueTimers(ClockMs());
    if (pred()) return true;
    const int64_t now = MonotonicUs() / 1000;
    if (now >= end) return pred();
    int64_t wait = end - now;
    if (clock_ == Clock::Real) {
      const int64_t next = NextDeadline();
      if (next >= 0) wait = std::min<int64_t>(wait, std::max<int64_t>(0, next - ClockMs()));
    }
    // Wake at least every 10 ms, since pred may depend on things other threads change.
    wait = std::min<int64_t>(wait, 10);
    WaitForWork(wait);
  }
}

void LoopRuntime::RunFor(uint32_t ms) {
  RunUntil([] { return false; }, ms);
}

int LoopRuntime::ArmedTimers() const {
  return static_cast<int>(schedule_.size());
}

int64_t LoopRuntime::NextDeadline() const {
  return schedule_.empty() ? -1 : schedule_.begin()->first.first;
}

}  // namespace tk
