// Prints how fast received bytes reach the UI thread, and what an idle open port costs.
//  - latency: far side writes one byte on a pty master; measured until OnRxChar runs on the UI thread
//    (median and p99 over the round trips);
//  - idle: CPU time of the port's monitor thread while the open port sees no traffic.
// Usage: bench_serial_latency [round-trips=10000] [idle-seconds=10]
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "serial/SerialPort.h"
#ifdef BRAE_BENCH_QT
#include <QCoreApplication>
#include <QTimer>

#include "toolkit/qt/QtRuntime.h"
#else
#include "toolkit/loop/LoopRuntime.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

std::set<int> Tasks() {
  std::set<int> tids;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') tids.insert(std::atoi(e->d_name));
    }
    closedir(d);
  }
  return tids;
}

// utime + stime of one thread, in seconds.
double ThreadCpu(int tid) {
  std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(f, line);
  const auto close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(line.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
#ifdef BRAE_BENCH_QT
  QCoreApplication app(argc, argv);
  tk::QtRuntime rt;
  const char* loop = "Qt event loop";
  // The loop sleeps until an event comes (processEvents with a time limit would spin instead); a slow tick
  // lets it notice a condition that no event announces, such as the idle period's end.
  QTimer tick;
  tick.start(50);
  auto runUntil = [&](const std::function<bool()>& done) {
    while (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  };
#else
  tk::LoopRuntime rt(tk::LoopRuntime::Clock::Real);
  const char* loop = "built-in event loop";
  auto runUntil = [&](const std::function<bool()>& done) {
    while (!done()) rt.RunUntil(done, 1000);
  };
#endif
  tk::Install(&rt);

  int master = -1, slave = -1;
  char name[128] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  const std::set<int> before = Tasks();
  auto* port = new serial::TSerialPort;
  port->SetDeviceName(name);
  port->OnError = [](serial::TCustomComm*, int code) {
    std::fprintf(stderr, "port error %d: %s\n", code, serial::CommErrorText(code).c_str());
  };
  port->Open();
  if (!port->Connected()) return 1;
  int monitorTid = 0;
  for (int tid : Tasks()) {
    if (!before.count(tid)) monitorTid = tid;
  }

  std::vector<double> latencies;
  latencies.reserve(static_cast<size_t>(rounds));
  std::mutex m;
  std::condition_variable cv;
  bool ready = true;
  Clock::time_point sent;
  port->OnRxChar = [&](serial::TCustomComm*, int) {
    const auto now = Clock::now();
    char buf[64];
    if (port->Read(buf, sizeof buf) <= 0) return;
    std::lock_guard<std::mutex> lock(m);
    latencies.push_back(std::chrono::duration<double, std::micro>(now - sent).count());
    ready = true;
    cv.notify_all();
  };
  std::thread farSide([&] {
    for (int i = 0; i < rounds; ++i) {
      std::unique_lock<std::mutex> lock(m);
      cv.wait(lock, [&] { return ready; });
      ready = false;
      sent = Clock::now();
      if (::write(master, "x", 1) != 1) break;
    }
  });
  runUntil([&] {
    std::lock_guard<std::mutex> lock(m);
    return static_cast<int>(latencies.size()) >= rounds;
  });
  farSide.join();
  std::sort(latencies.begin(), latencies.end());
  auto pct = [&](double p) {
    return latencies[static_cast<size_t>(p * static_cast<double>(latencies.size() - 1))];
  };
  std::printf("serial receive latency (%s), %d round trips on a pty:\n", loop, rounds);
  std::printf("  median %.1f us   p99 %.1f us   max %.1f us   (targets: median < 500 us, p99 < 2000 us)\n",
              pct(0.5), pct(0.99), latencies.back());

  const double cpuBefore = ThreadCpu(monitorTid);
  const auto idleStart = Clock::now();
  runUntil([&] { return Clock::now() - idleStart >= std::chrono::seconds(idleSeconds); });
  const double cpu = ThreadCpu(monitorTid) - cpuBefore;
  std::printf("idle open port, %d s: monitor thread CPU %.3f s = %.3f %% of one core   (target < 1 %%)\n",
              idleSeconds, cpu, 100.0 * cpu / idleSeconds);

  port->Close();
  delete port;
  runUntil([] { return tk::Thread::WaitForDetachedThreads(0); });
  tk::Install(nullptr);
  ::close(master);
  ::close(slave);
  return 0;
}
