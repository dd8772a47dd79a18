// SIGINT and SIGTERM as events of the UI thread: the handler only writes the signal's number into a socket
// pair, and a socket notifier hands it to the UI thread, where closing the program is safe.
#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace app {

class SignalBridge {
 public:
  // Installs the handlers; `onSignal` runs on the UI thread with the signal number. One bridge at a time.
  explicit SignalBridge(std::function<void(int)> onSignal);
  // Restores the default handling.
  ~SignalBridge();
  SignalBridge(const SignalBridge&) = delete;
  SignalBridge& operator=(const SignalBridge&) = delete;

 private:
  void Drain();

  std::function<void(int)> onSignal_;
  int fds_[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace app
