// The services that the updater expects of a windowing toolkit: one user-interface (UI) thread that runs
// every decision, a way for other threads to run a function there and wait (Synchronize), timers that fire on
// the UI thread, the clocks, and modal message boxes. The core (serial, engine) talks only to this interface;
// toolkit/qt implements it on Qt, toolkit/loop on a small event loop of its own (tests and benchmarks).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "toolkit/Clock.h"

namespace tk {

using Method = std::function<void()>;

// A periodic timer that fires on the UI thread. Writing the interval or the enabled flag with its current
// value changes nothing; any real change (and a new handler) starts a full interval again. A timer fires only
// while it is enabled, has a non-zero interval and has a handler, and never before its full interval has
// passed on the monotonic clock: since the last firing or since it was started.
//
// The implementations supply a one-shot wake-up (Arm) that may come early, as a system's coarse timers do;
// the base checks the clock when it comes and asks again for the rest, so every runtime keeps the same rule.
class Timer {
 public:
  virtual ~Timer() = default;

  uint32_t Interval() const { return interval_; }
  bool Enabled() const { return enabled_; }
  void SetInterval(uint32_t ms);
  void SetEnabled(bool enabled);
  void SetOnTimer(Method handler);
  bool HasOnTimer() const { return static_cast<bool>(onTimer_); }

 protected:
  Timer() = default;
  // Called by the implementation on the UI thread when the wake-up asked for by Arm comes.
  void Expired();
  // Asks for one call of Expired in about ms, replacing any wake-up asked for before; Disarm cancels it.
  virtual void Arm(uint32_t ms) = 0;
  virtual void Disarm() = 0;
  // The clock the interval is measured on, in microseconds: the monotonic clock, unless the runtime keeps
  // time of its own.
  virtual int64_t ClockUs() const { return MonotonicUs(); }

 private:
  void Update();
  void StartPeriod();

  uint32_t interval_ = 1000;  // the toolkit's defaults: enabled, one second
  bool enabled_ = true;
  Method onTimer_;
  int64_t dueUs_ = 0;  // the end of the running period, on ClockUs
};

class Runtime {
 public:
  virtual ~Runtime() = default;

  // True on the UI thread.
  virtual bool InUiThread() const = 0;
  // True when the UI thread is the only thread (a browser): worker threads then take turns on its loop
  // (Thread::RunTurns) instead of running on their own.
  virtual bool SingleThreaded() const { return false; }
  // Runs fn on the UI thread and waits until it has returned; on the UI thread itself it runs fn at once.
  // Returns false, without running fn, once the UI loop has shut down (a caller blocked here is then
  // released): a worker thread must never hang on a UI thread that has gone.
  virtual bool Synchronize(const Method& fn) = 0;
  // Runs what is pending for the UI thread (queued calls, due timers, window messages) and returns.
  virtual void ProcessMessages() = 0;
  // Blocks on the UI thread until something arrives for it (a queued call, a timer falling due, a window
  // message) or ms have passed, runs what has arrived, and returns. It may return early; a caller that needs
  // a whole pause asks again for the rest. Unlike a sleep it lets every other part of the program run
  // meanwhile, and unlike calling ProcessMessages in a loop it costs no CPU while nothing comes.
  virtual void WaitMessages(uint32_t ms) = 0;
  // Milliseconds of a monotonic counter, wrapping at 2^32.
  virtual uint32_t TickCount() const = 0;
  // Local date and time: days since 1899-12-30 00:00, the time of day as the fraction, millisecond
  // resolution.
  virtual double Now() const = 0;
  // A new timer with the toolkit's defaults (enabled, 1000 ms, no handler). Create and use it on the UI
  // thread.
  virtual std::unique_ptr<Timer> NewTimer() = 0;
  // A modal message box with one OK button; returns when the user has closed it.
  virtual void MessageBox(const std::string& text, const std::string& caption);
  // Lets a presentation (window or console) decide how message boxes appear.
  void SetMessageBoxHandler(
      std::function<void(const std::string& text, const std::string& caption)> handler) {
    messageBox_ = std::move(handler);
  }
  bool HasMessageBoxHandler() const { return static_cast<bool>(messageBox_); }

 private:
  std::function<void(const std::string&, const std::string&)> messageBox_;
};

// The one runtime of the process. Install before any component is created; nullptr uninstalls.
void Install(Runtime* runtime);
Runtime& App();
bool Installed();

}  // namespace tk
