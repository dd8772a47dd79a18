// Thread and event primitives in the shapes the updater is written against: a manual-reset event and a thread
// base with a terminated flag, Synchronize, and an optional free-on-terminate life.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "toolkit/Runtime.h"

namespace tk {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Manual-reset event: stays set until Reset.
class Event {
 public:
  explicit Event(bool initiallySet = false) : set_(initiallySet) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // True when the event is (or becomes) set within ms; kInfinite waits without limit.
  bool Wait(uint32_t ms = kInfinite);

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool set_;
};

enum class Priority { Normal, Higher, Highest };

// Base of the program's worker threads. Execute runs on a new thread from StartThread on; Terminate only sets
// the flag that Execute polls. On a single-threaded runtime (a browser has one thread) no thread is started:
// the runtime's loop gives the thread turns instead (RunTurns), each one pass of Execute's loop that does not
// wait, until the thread is terminated. With FreeOnTerminate the object deletes itself when Execute returns
// (it must then be allocated with new and not be touched by others after Terminate, except through what it
// owns). A derived class that is not free-on-terminate must Terminate and WaitFor in its own destructor,
// before its members go.
class Thread {
 public:
  Thread() = default;
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  void StartThread(Priority priority = Priority::Normal);
  void Terminate() { terminated_.store(true, std::memory_order_release); }
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
  void SetFreeOnTerminate(bool value) { freeOnTerminate_ = value; }
  // Waits until Execute has returned (not for free-on-terminate threads).
  void WaitFor();
  bool Finished() const { return finished_.load(std::memory_order_acquire); }

  // Waits up to ms for every free-on-terminate thread to end; true when none is left. Program end calls it so
  // that no detached thread still runs while the process tears down its statics.
  static bool WaitForDetachedThreads(uint32_t ms);

  // Single-threaded runtimes, on the UI thread: one turn for every started thread that is not in one already
  // (a turn that runs the loop does not get a second inside it). A thread found terminated ends: LoopEnded
  // runs, and a free-on-terminate thread deletes itself. True when a turn did something.
  static bool RunTurns();
  // True while any started thread waits for turns.
  static bool HasTurns();

 protected:
  virtual void Execute() = 0;
  // One pass of Execute's loop without waiting (single-threaded runtimes); true when it did something.
  virtual bool Turn() { return false; }
  // What Execute does after its loop, once: on a single-threaded runtime, called when the thread ends.
  virtual void LoopEnded() {}
  // Runs fn on the UI thread and waits; false when the UI loop has gone.
  bool Synchronize(const Method& fn) { return App().Synchronize(fn); }

 private:
  void Run();
  void EndTurns();

  std::atomic<bool> terminated_{false};
  bool turns_ = false;  // registered for turns (single-threaded runtimes)
  bool inTurn_ = false;
  std::atomic<bool> finished_{false};
  bool freeOnTerminate_ = false;
  std::thread thread_;
};

}  // namespace tk
