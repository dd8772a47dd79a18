// Remote lines in the Windows build, under Wine: ser2net runs on the Linux side in front of a line of the pty
// peer that sends every byte back (tests/serial/ser2net_fixture.sh), and the Windows program reaches it
// through Winsock at 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "serial/CommOs.h"
#include "serial/SerialPort.h"
#include "toolkit/Clock.h"
#include "toolkit/loop/LoopRuntime.h"

namespace {

// The server's URL, from the port the fixture wrote beside the peer's links; empty when it runs none.
std::string ServerUrl() {
  const char* dir = std::getenv("BRAE_WINE_PORT_DIR");
  if (!dir) return {};
  std::ifstream in(std::string("Z:") + dir + "/ser2net.port");
  int port = 0;
  if (!(in >> port) || port <= 0) return {};
  return "rfc2217://127.0.0.1:" + std::to_string(port);
}

uint64_t NowMs() {
  return static_cast<uint64_t>(tk::MonotonicUs() / 1000);
}

// The server lets a client's line go a moment after the client has left: a test right after another is told
// "in use" until then, and asks again.
commos::Handle OpenWhenFree(const std::string& url) {
  const uint64_t end = NowMs() + 3000;
  for (;;) {
    commos::Handle h = commos::CreateFile(url);
    if (h || commos::LastErrorKind() != commos::ErrorKind::Busy || NowMs() > end) return h;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

struct RemoteWin32 : ::testing::Test {
  void SetUp() override {
    url = ServerUrl();
    if (url.empty()) GTEST_SKIP() << "needs ser2net in front of the Wine test prefix's pty peer";
  }
  std::string url;
};

}  // namespace

TEST_F(RemoteWin32, BytesRoundTripThroughTheServer) {
  commos::Handle h = OpenWhenFree(url);
  ASSERT_TRUE(h) << commos::LastErrorText();
  EXPECT_EQ(url + " did not confirm: DTR/RTS control", commos::TakeOpenNotice());
  EXPECT_EQ(url, commos::StableName(h));
  commos::Dcb dcb;
  dcb.BaudRate = 38400;
  ASSERT_TRUE(commos::SetCommState(h, dcb)) << commos::LastErrorText();
  std::string image(8000, '\0');
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i % 2 ? 0xFF : (i * 13) % 256);
  std::string back;
  for (size_t at = 0; at < image.size(); at += 1000) {
    uint32_t written = 0;
    ASSERT_EQ(commos::IoResult::Done, commos::WriteFile(h, image.data() + at, 1000, &written, 5000))
        << commos::LastErrorText();
    ASSERT_EQ(1000u, written);
    // The echo comes back while we write: take it, so neither side's buffers fill.
    const uint64_t end = NowMs() + 5000;
    while (back.size() < at + 1000 && NowMs() < end) {
      char buf[2048];
      uint32_t n = 0;
      ASSERT_EQ(commos::IoResult::Done, commos::ReadFile(h, buf, sizeof buf, &n));
      back.append(buf, n);
      if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ASSERT_EQ(image.size(), back.size());
  EXPECT_TRUE(image == back);
  EXPECT_TRUE(commos::CloseHandle(h));
}

TEST_F(RemoteWin32, ComponentReceivesThroughItsMonitor) {
  tk::LoopRuntime rt{tk::LoopRuntime::Clock::Virtual};
  tk::Install(&rt);
  {
    serial::TSerialPort port;
    std::vector<int> errors;
    port.OnError = [&](serial::TCustomComm*, int code) { errors.push_back(code); };
    std::string received;
    port.OnRxChar = [&](serial::TCustomComm*, int) {
      char buf[64];
      const int n = port.Read(buf, sizeof buf);
      if (n > 0) received.append(buf, static_cast<size_t>(n));
    };
    port.SetDeviceName(url);
    port.Open();
    for (const uint64_t end = NowMs() + 3000;
         !port.Connected() && port.LastOsError().find("in use") != std::string::npos && NowMs() < end;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      port.Open();
    }
    ASSERT_TRUE(port.Connected()) << port.LastOsError();
    EXPECT_EQ(7, port.Write("ping\xff\r\n", 7));
    EXPECT_TRUE(rt.RunUntil([&] { return received == "ping\xff\r\n"; }, 5000)) << received;
    EXPECT_TRUE(errors.empty());
    port.Close();
    EXPECT_TRUE(rt.RunUntil([] { return tk::Thread::WaitForDetachedThreads(0); }, 5000));
  }
  tk::Install(nullptr);
}

TEST(RemoteWin32Open, RefusedConnectFailsAtOnceAndIsMissing) {
  // The peer's server port plus one is, in all likelihood, where nothing listens; a port that happens to be
  // in use says so rather than fail.
  const std::string url = ServerUrl();
  if (url.empty()) GTEST_SKIP() << "needs the fixture's port file";
  const int port = std::stoi(url.substr(url.rfind(':') + 1)) + 1;
  const std::string name = "rfc2217://127.0.0.1:" + std::to_string(port);
  const uint64_t start = NowMs();
  commos::Handle h = commos::CreateFile(name);
  if (h) GTEST_SKIP() << "something listens on " << port;
  EXPECT_LT(NowMs() - start, 2000u);
  EXPECT_NE(std::string::npos,
            commos::LastErrorText().find("connection refused by 127.0.0.1:" + std::to_string(port)))
      << commos::LastErrorText();
  EXPECT_EQ(commos::ErrorKind::Missing, commos::LastErrorKind());
}

// Winsock last: <windows.h> defines macros with the names of the port layer's calls.
#include <winsock2.h>
#undef CreateFile

TEST(RemoteWin32Open, ServersThatCannotServeAreToldWithoutHoldingTheCaller) {
  WSADATA data;
  ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
  const struct {
    const char* name;
    bool full;  // the accept queue full: nobody is let in
    const char* reason;
  } cases[] = {
      {"a raw TCP port", false, "does not speak RFC 2217 (no telnet negotiation): is it a raw TCP port?"},
      {"a server that lets no one in", true, "no answer within 3 s"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, c.full ? 0 : 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    std::vector<SOCKET> fillers;
    for (int i = 0; c.full && i < 4; ++i) {
      fillers.push_back(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
      u_long nonBlocking = 1;
      ioctlsocket(fillers.back(), FIONBIO, &nonBlocking);
      connect(fillers.back(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    // Without waiting, every call returns at once until the try has ended, with its reason.
    uint64_t slowest = 0;
    const uint64_t end = NowMs() + 8000;
    for (;;) {
      const uint64_t start = NowMs();
      EXPECT_FALSE(commos::CreateFile(url, false));
      slowest = std::max(slowest, NowMs() - start);
      if (commos::LastErrorKind() != commos::ErrorKind::Pending || NowMs() > end) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_LT(slowest, 100u);
    EXPECT_NE(std::string::npos, commos::LastErrorText().find(url + ": " + c.reason))
        << commos::LastErrorText();
    if (!c.full) {
      SOCKET conn = accept(listener, nullptr, nullptr);
      char buf[64];
      EXPECT_LE(recv(conn, buf, sizeof buf, 0), 0) << "the raw port heard bytes of the protocol";
      closesocket(conn);
    }
    for (SOCKET f : fillers) closesocket(f);
    closesocket(listener);
  }
}
