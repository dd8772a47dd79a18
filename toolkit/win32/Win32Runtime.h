// The toolkit runtime on a Win32 message loop: the UI thread is the thread that creates the runtime, calls
// from other threads arrive as a message posted to a message-only window, timers are SetTimer timers of that
// window, and message boxes are MessageBoxW. Run() is the program's loop; it ends with WM_QUIT
// (PostQuitMessage), and calls still waiting then are released (they return false).
#pragma once

#include <memory>
#include <unordered_set>

#include "toolkit/QueuedRuntime.h"

namespace tk {

class Win32Runtime : public QueuedRuntime {
 public:
  // Create on the thread that will run the loop.
  Win32Runtime();
  ~Win32Runtime() override;

  void ProcessMessages() override;
  void WaitMessages(uint32_t ms) override;
  uint32_t TickCount() const override;
  double Now() const override;
  std::unique_ptr<Timer> NewTimer() override;
  // A MessageBoxW owned by the active window, unless a presentation has set a handler of its own.
  void MessageBox(const std::string& text, const std::string& caption) override;

  // Runs the message loop until WM_QUIT; returns its exit code.
  int Run();

  // The message-only window that receives the runtime's own messages (an HWND).
  void* Window() const { return window_; }

 private:
  friend struct Win32RuntimeAccess;
  void WakeUiThread() override;

  void* window_ = nullptr;
  void* waitTimer_ = nullptr;  // bounds WaitMessages (a HANDLE), or null where none could be made
  std::unordered_set<const void*> timers_;  // the live timers, which a WM_TIMER may name
};

}  // namespace tk
