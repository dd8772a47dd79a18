#include "app/core/ProgressBound.h"

#include "toolkit/Runtime.h"

namespace app {

ProgressBound::ProgressBound() = default;
ProgressBound::~ProgressBound() = default;

void ProgressBound::Start(int seconds, std::function<int64_t()> waitLeftMs, std::function<void()> expired) {
  if (seconds <= 0) return;
  seconds_ = seconds;
  waitLeftMs_ = std::move(waitLeftMs);
  expired_ = std::move(expired);
  timer_ = tk::App().NewTimer();
  timer_->SetEnabled(false);
  timer_->SetOnTimer([this] { Fired(); });
  Arm(int64_t{seconds_} * 1000);
}

void ProgressBound::Progressed() {
  if (timer_ && timer_->Enabled()) Arm(int64_t{seconds_} * 1000);
}

void ProgressBound::Stop() {
  if (timer_) timer_->SetEnabled(false);
}

void ProgressBound::Arm(int64_t ms) {
  timer_->SetEnabled(false);
  timer_->SetInterval(static_cast<uint32_t>(ms));
  timer_->SetEnabled(true);
}

void ProgressBound::Fired() {
  timer_->SetEnabled(false);
  const int64_t left = waitLeftMs_ ? waitLeftMs_() : 0;
  if (left > 0) {
    Arm(left + 1000);
    return;
  }
  if (expired_) expired_();
}

}  // namespace app
