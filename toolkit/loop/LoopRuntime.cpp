#include "toolkit/loop/LoopRuntime.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "toolkit/Sync.h"
#include "toolkit/loop/LoopWait.h"

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

LoopRuntime::LoopRuntime(Clock clock, Threads threads) : clock_(clock), threads_(threads) {
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
  RunPending();
  FireDueTimers(ClockMs());
  RunPending();
}

void LoopRuntime::WaitMessages(uint32_t ms) {
  if (clock_ == Clock::Virtual) {
    if (autoAdvanceMs_ > 0) {
      Advance(autoAdvanceMs_);
      return;
    }
    if (!RunPending() && !FireDueTimers(nowMs_)) Idle(ms);
    RunPending();
    return;
  }
  const bool ran = RunPending();
  if (FireDueTimers(ClockMs()) || ran) return;
  int64_t wait = ms;
  const int64_t next = NextDeadline();
  if (next >= 0) wait = std::min<int64_t>(wait, std::max<int64_t>(0, next - ClockMs()));
  if (ShutDown()) {
    // Nothing can be queued any more, and the queue's wait would return at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(wait));
  } else {
    Idle(wait);
  }
  RunPending();
  FireDueTimers(ClockMs());
  RunPending();
}

bool LoopRuntime::RunPending() {
  bool ran = RunQueued();
  if (threads_ == Threads::Single) {
    // A turn may queue a call, and a call may wake a worker: round until both are quiet (bounded, so that a
    // worker with work at every turn cannot keep the loop from its timers).
    for (int round = 0; round < 8; ++round) {
      const bool turned = Thread::RunTurns();
      const bool queued = RunQueued();
      ran = ran || turned || queued;
      if (!turned && !queued) break;
    }
  }
  return ran;
}

void LoopRuntime::Idle(int64_t ms) {
  if (threads_ == Threads::Own) {
    WaitForWork(ms);
    return;
  }
  if (ms <= 0) return;
  // Nothing on the one thread can change while it waits, except what the platform wakes it for; a worker
  // that watches a device by looking is given its turns at the platform's poll interval.
  loop::WaitRoused(Thread::HasTurns() ? std::min<int64_t>(ms, loop::PollIntervalMs()) : ms);
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
    RunPending();
  }
  return fired;
}

void LoopRuntime::Advance(uint32_t ms) {
  const int64_t target = nowMs_ + ms;
  RunPending();
  FireDueTimers(target);
  nowMs_ = target;
  RunPending();
}

bool LoopRuntime::RunUntil(const std::function<bool()>& pred, uint32_t realTimeoutMs) {
  const int64_t end = MonotonicUs() / 1000 + realTimeoutMs;
  for (;;) {
    RunPending();
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
    Idle(wait);
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
