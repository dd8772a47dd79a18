// The bound on a run without progress (--timeout): it fires once its seconds pass without progress, but never
// while the engine still waits for the indicator's own long work (the erase). A single update and each port
// of a batch keep one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace tk {
class Timer;
}

namespace app {

class ProgressBound {
 public:
  ProgressBound();
  ~ProgressBound();
  ProgressBound(const ProgressBound&) = delete;
  ProgressBound& operator=(const ProgressBound&) = delete;

  // `waitLeftMs`: how long the engine still waits by itself (0: not in such a wait). `expired` runs once, on
  // the UI thread. No bound when `seconds` is 0 or less.
  void Start(int seconds, std::function<int64_t()> waitLeftMs, std::function<void()> expired);
  // A full bound again from now.
  void Progressed();
  void Stop();

 private:
  void Arm(int64_t ms);
  void Fired();

  int seconds_ = 0;
  std::function<int64_t()> waitLeftMs_;
  std::function<void()> expired_;
  std::unique_ptr<tk::Timer> timer_;
};

}  // namespace app
