#include "toolkit/loop/LoopRuntime.h"

#include <chrono>
#include <ctime>

namespace tk {

namespace {

int64_t RealMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

class LoopRuntime::LoopTimer : public Timer {
 public:
  explicit LoopTimer(LoopRuntime* rt) : rt_(rt) {}
  ~LoopTimer() override { rt_->Unschedule(this); }

  void Arm(uint32_t ms) override {
    rt_->Unschedule(this);
    rt_->Schedule(this, rt_->ClockMs() + ms);
  }
  void Disarm() override { rt_->Unschedule(this); }
  void FireNow() { Fire(); }

  bool scheduled = false;
  std::pair<int64_t, uint64_t> key{};

 private:
  LoopRuntime* rt_;
};

LoopRuntime::LoopRuntime(Clock clock) : clock_(clock), uiThread_(std::this_thread::get_id()) {
  realBase_ = RealMs();
  // A fixed, ordinary moment for the virtual clock: 2026-12-08 10:00:00.000.
  dateBase_ = clock == Clock::Virtual ? 46364.0 + 10.0 / 24.0 : 0;
}

LoopRuntime::~LoopRuntime() {
  Shutdown();
}

bool LoopRuntime::InUiThread() const {
  return std::this_thread::get_id() == uiThread_;
}

bool LoopRuntime::Synchronize(const Method& fn) {
  if (InUiThread()) {
    fn();
    return true;
  }
  return calls_.CallAndWait(fn);
}

void LoopRuntime::Shutdown() {
  calls_.Shutdown();
}

bool LoopRuntime::RunQueued() {
  return calls_.RunAll();
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

int64_t LoopRuntime::ClockMs() const {
  return clock_ == Clock::Virtual ? nowMs_ : RealMs() - realBase_;
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
    // Periodic: the next period counts from this one's end, as a system timer's would.
    Schedule(t, ClockMs() + t->Interval());
    t->FireNow();
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
  const int64_t end = RealMs() + realTimeoutMs;
  for (;;) {
    RunQueued();
    if (clock_ == Clock::Real) FireDueTimers(ClockMs());
    if (pred()) return true;
    const int64_t now = RealMs();
    if (now >= end) return pred();
    int64_t wait = end - now;
    if (clock_ == Clock::Real) {
      const int64_t next = NextDeadline();
      if (next >= 0) wait = std::min<int64_t>(wait, std::max<int64_t>(0, next - ClockMs()));
    }
    // Wake at least every 10 ms, since pred may depend on things other threads change.
    wait = std::min<int64_t>(wait, 10);
    calls_.WaitForWork(wait);
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
