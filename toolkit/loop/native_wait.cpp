// The single-threaded loop's wait on a native system: a sleep that Rouse ends (the platform's own threads,
// such as a remote line's connect, may rouse it).
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "toolkit/loop/LoopWait.h"

namespace tk::loop {

namespace {
struct Rousing {
  std::mutex mutex;
  std::condition_variable cv;
  bool roused = false;
};
Rousing& State() {
  static Rousing* r = new Rousing;  // never destroyed: a thread may rouse while the process ends
  return *r;
}
}  // namespace

void WaitRoused(int64_t ms) {
  Rousing& r = State();
  std::unique_lock<std::mutex> lock(r.mutex);
  r.cv.wait_for(lock, std::chrono::milliseconds(ms), [&r] { return r.roused; });
  r.roused = false;
}

void Rouse() {
  Rousing& r = State();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.roused = true;
  r.cv.notify_all();
}

int64_t PollIntervalMs() {
  // A pty or a UART has nobody to rouse the loop for its bytes: 1 ms keeps a reply's latency far below
  // the line's time for a byte at 9600 baud.
  return 1;
}

}  // namespace tk::loop
