#include "toolkit/win32/Win32Runtime.h"

#include "toolkit/win32/Text.h"

namespace tk {

// What the window procedure needs of the runtime.
struct Win32RuntimeAccess {
  static void RunQueued(Win32Runtime& rt) { rt.RunQueued(); }
  static std::unordered_set<const void*>& Timers(Win32Runtime& rt) { return rt.timers_; }
};

namespace {

// Posted by WakeUiThread: run the queued calls.
constexpr UINT kRunQueued = WM_APP + 1;
constexpr wchar_t kClassName[] = L"BraeRuntimeWindow";
// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, which the compiler's headers may not have yet.
constexpr DWORD kHighResolutionTimer = 0x00000002;

Win32Runtime* RuntimeOf(HWND window) {
  return reinterpret_cast<Win32Runtime*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// A one-shot wake-up on SetTimer: the timer's own address is its identifier with the window. Windows rounds
// a timer up to its tick (about 15 ms), and the base asks again when one comes early.
class Win32Timer : public Timer {
 public:
  explicit Win32Timer(Win32Runtime& rt) : rt_(rt), window_(static_cast<HWND>(rt.Window())) {
    Win32RuntimeAccess::Timers(rt_).insert(this);
  }
  ~Win32Timer() override {
    Disarm();
    Win32RuntimeAccess::Timers(rt_).erase(this);
  }
  void Arm(uint32_t ms) override {
    armed_ = SetTimer(window_, Id(), ms < USER_TIMER_MINIMUM ? USER_TIMER_MINIMUM : ms, nullptr) != 0;
  }
  void Disarm() override {
    if (armed_) KillTimer(window_, Id());
    armed_ = false;
  }
  // WM_TIMER: SetTimer repeats, the wake-up is once.
  void Fired() {
    Disarm();
    Expired();
  }
  UINT_PTR Id() const { return reinterpret_cast<UINT_PTR>(this); }

 private:
  Win32Runtime& rt_;
  HWND window_;
  bool armed_ = false;
};

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Win32Runtime* runtime = RuntimeOf(window);
  if (message == kRunQueued && runtime) {
    Win32RuntimeAccess::RunQueued(*runtime);
    return 0;
  }
  // Only a timer that still lives: one destroyed since its message was made is skipped.
  if (message == WM_TIMER && runtime &&
      Win32RuntimeAccess::Timers(*runtime).count(reinterpret_cast<const void*>(wParam))) {
    reinterpret_cast<Win32Timer*>(wParam)->Fired();
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateMessageWindow() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);  // a second runtime finds the class there already
  return CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
}

}  // namespace

Win32Runtime::Win32Runtime() {
  HWND window = CreateMessageWindow();
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  window_ = window;
  // Windows 10 1803 and later; before that an ordinary one, whose end follows the system's tick.
  HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
  if (!timer) timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  waitTimer_ = timer;
}

Win32Runtime::~Win32Runtime() {
  // Before the window goes: no waiting caller may post to it any more.
  Shutdown();
  if (window_) DestroyWindow(static_cast<HWND>(window_));
  if (waitTimer_) CloseHandle(static_cast<HANDLE>(waitTimer_));
}

void Win32Runtime::WakeUiThread() {
  PostMessageW(static_cast<HWND>(window_), kRunQueued, 0, 0);
}

void Win32Runtime::ProcessMessages() {
  RunQueued();
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // Left for the loop that waits for it.
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void Win32Runtime::WaitMessages(uint32_t ms) {
  if (RunQueued()) return;
  // The wait returns at once when messages are already waiting, even ones an earlier look has seen; a queued
  // call and a timer arrive as messages of the runtime's window. Its own timeout follows the system's tick
  // (about 15.6 ms), which would stretch the port scan's 21 ms slices by half: a high-resolution waitable
  // timer ends it on time where the system has one.
  HANDLE bound = static_cast<HANDLE>(waitTimer_);
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(ms) * 10000;  // relative, in 100 ns
  if (bound && SetWaitableTimer(bound, &due, 0, nullptr, nullptr, FALSE)) {
    // The message wait's own bound only backs the timer up.
    MsgWaitForMultipleObjectsEx(1, &bound, ms + 100, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    CancelWaitableTimer(bound);
  } else {
    MsgWaitForMultipleObjectsEx(0, nullptr, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  ProcessMessages();
}

int Win32Runtime::Run() {
  MSG msg;
  int code = 0;
  for (;;) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) {
      code = got == 0 ? static_cast<int>(msg.wParam) : 1;
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  Shutdown();
  return code;
}

uint32_t Win32Runtime::TickCount() const {
  return MonotonicMs();
}

double Win32Runtime::Now() const {
  return LocalDateTimeNow();
}

std::unique_ptr<Timer> Win32Runtime::NewTimer() {
  return std::make_unique<Win32Timer>(*this);
}

void Win32Runtime::MessageBox(const std::string& text, const std::string& caption) {
  if (HasMessageBoxHandler()) {
    Runtime::MessageBox(text, caption);
    return;
  }
  MessageBoxW(GetActiveWindow(), win32::Widen(text).c_str(), win32::Widen(caption).c_str(), MB_OK);
}

}  // namespace tk
