// The waitable event as a manual-reset Win32 event: the monitor's wait includes it beside the port's own.
#include "serial/win32/win.h"

namespace commos {

WaitableEvent::WaitableEvent() : native_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

WaitableEvent::~WaitableEvent() {
  if (native_) ::CloseHandle(native_);
}

void WaitableEvent::Set() {
  SetEvent(native_);
}

void WaitableEvent::Reset() {
  ResetEvent(native_);
}

bool WaitableEvent::IsSet() const {
  return Wait(0);
}

bool WaitableEvent::Wait(int ms) const {
  return WaitForSingleObject(native_, ms < 0 ? INFINITE : static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
}

}  // namespace commos
