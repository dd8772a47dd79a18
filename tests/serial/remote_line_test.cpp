// Remote lines (rfc2217://HOST:PORT) through the operating-system layer and the component, against a real
// device server (ser2net) serving a pseudo-terminal whose far side the test holds, and against a scripted
// server on a loopback socket for what ser2net never does (answering every request again, refusing).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "serial/CommOs.h"
#include "serial/SerialPort.h"
#include "serial/net/Telnet.h"
#include "tests/support/pty.h"
#include "tests/support/ser2net.h"
#include "toolkit/Clock.h"
#include "toolkit/loop/LoopRuntime.h"

using namespace std::chrono_literals;
using testing_support::Pty;
using testing_support::Ser2net;
using testing_support::WaitUntil;

namespace {

int64_t NowMs() {
  return tk::MonotonicUs() / 1000;
}

// A pseudo-terminal served by ser2net; the test reads and writes the line's far side on the master.
struct RemoteTest : ::testing::Test {
  void SetUp() override {
    if (!Ser2net::Installed()) GTEST_SKIP() << "ser2net is not installed (scripts/setup.sh installs it)";
    ASSERT_TRUE(pty.ok());
    server = std::make_unique<Ser2net>(pty.path());
    ASSERT_TRUE(server->Start()) << server->Log();
  }
  void TearDown() override {
    if (h) commos::CloseHandle(h);
  }
  void Open() {
    h = commos::CreateFile(server->url());
    ASSERT_TRUE(h) << commos::LastErrorText() << "\n" << server->Log();
  }
  bool Set(uint32_t rate, uint32_t flags = commos::fBinary) {
    commos::Dcb dcb;
    dcb.BaudRate = rate;
    dcb.Flags = flags;
    return commos::SetCommState(h, dcb);
  }
  // Reads from the remote port until `want` bytes came or 5 s passed.
  std::string ReadRemote(size_t want) {
    std::string got;
    const int64_t end = NowMs() + 5000;
    while (got.size() < want && NowMs() < end) {
      char buf[4096];
      uint32_t n = 0;
      EXPECT_EQ(commos::IoResult::Done, commos::ReadFile(h, buf, sizeof buf, &n));
      got.append(buf, n);
      if (n == 0) std::this_thread::sleep_for(1ms);
    }
    return got;
  }

  Pty pty;
  std::unique_ptr<Ser2net> server;
  commos::Handle h;
};

std::string RichImage(size_t size) {
  std::string image(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    // Every third byte 0xFF, the rest walking through the telnet commands and all other values.
    image[i] = static_cast<char>(i % 3 == 0 ? 0xFF : i % 3 == 1 ? 0xF0 + (i / 3) % 16 : (i * 7) % 256);
  }
  return image;
}

}  // namespace

TEST_F(RemoteTest, RateAndFlowControlReachTheLine) {
  Open();
  EXPECT_EQ(commos::FILE_TYPE_CHAR, commos::GetFileType(h));
  EXPECT_EQ(server->url(), commos::StableName(h));
  const struct {
    uint32_t rate;
    uint32_t flags;
    speed_t speed;
    bool ixon;
  } steps[] = {
      {38400, commos::fBinary, B38400, false},
      {38400, commos::fBinary | commos::fOutX | commos::fInX, B38400, true},
      {9600, commos::fBinary | commos::fOutX | commos::fInX, B9600, true},
      {115200, commos::fBinary, B115200, false},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(std::to_string(s.rate) + (s.ixon ? " xon/xoff" : ""));
    ASSERT_TRUE(Set(s.rate, s.flags)) << commos::LastErrorText();
    EXPECT_TRUE(WaitUntil(
        [&] {
          const termios t = pty.Settings();
          return cfgetospeed(&t) == s.speed && ((t.c_iflag & IXON) != 0) == s.ixon;
        },
        3s));
    commos::Dcb back;
    ASSERT_TRUE(commos::GetCommState(h, &back));
    EXPECT_EQ(s.rate, back.BaudRate);
    EXPECT_EQ(s.flags, back.Flags);
  }
}

TEST_F(RemoteTest, OpenTellsOnceWhatTheServerDidNotConfirm) {
  Open();
  // ser2net on a pseudo-terminal leaves DTR and RTS unanswered; the rest it confirms.
  EXPECT_EQ(server->url() + " did not confirm: DTR/RTS control", commos::TakeOpenNotice());
  EXPECT_EQ("", commos::TakeOpenNotice());
  // Unanswered requests hold nothing up.
  EXPECT_TRUE(commos::EscapeCommFunction(h, commos::CLRDTR));
  EXPECT_TRUE(commos::EscapeCommFunction(h, commos::SETRTS));
  EXPECT_FALSE(commos::EscapeCommFunction(h, 99));
}

TEST_F(RemoteTest, BytesBothWaysExactlyInBlocks) {
  Open();
  ASSERT_TRUE(Set(38400));
  const std::string image = RichImage(64 * 1024);
  // The far side reads while the blocks go out: a pseudo-terminal holds only a few KiB.
  std::string atLine;
  std::thread reader([&] { atLine = pty.Receive(image.size(), 20000); });
  for (size_t at = 0; at < image.size(); at += 1000) {
    const uint32_t size = static_cast<uint32_t>(std::min<size_t>(1000, image.size() - at));
    uint32_t written = 0;
    ASSERT_EQ(commos::IoResult::Done, commos::WriteFile(h, image.data() + at, size, &written, 5000))
        << commos::LastErrorText();
    ASSERT_EQ(size, written);
  }
  EXPECT_EQ(commos::IoResult::Done, commos::WaitWrite(h, 5000));
  reader.join();
  ASSERT_EQ(image.size(), atLine.size());
  EXPECT_TRUE(image == atLine);

  std::thread writer([&] {
    for (size_t at = 0; at < image.size(); at += 1000) {
      size_t done = 0;
      const std::string block = image.substr(at, 1000);
      while (done < block.size()) {
        const ssize_t n = ::write(pty.master(), block.data() + done, block.size() - done);
        if (n > 0)
          done += static_cast<size_t>(n);
        else
          std::this_thread::sleep_for(1ms);
      }
    }
  });
  const std::string got = ReadRemote(image.size());
  writer.join();
  ASSERT_EQ(image.size(), got.size());
  EXPECT_TRUE(image == got);
}

TEST_F(RemoteTest, PurgeDropsWhatWasQueued) {
  Open();
  ASSERT_TRUE(pty.Send("stale bytes"));
  commos::ComStat stat;
  ASSERT_TRUE(WaitUntil(
      [&] {
        uint32_t errors = 0;
        return commos::ClearCommError(h, &errors, &stat) && stat.cbInQue == 11;
      },
      3s));
  ASSERT_TRUE(commos::PurgeComm(h, commos::PURGE_RXCLEAR | commos::PURGE_TXCLEAR));
  ASSERT_TRUE(commos::ClearCommError(h, nullptr, &stat));
  EXPECT_EQ(0u, stat.cbInQue);
  char buf[16];
  uint32_t n = 1;
  EXPECT_EQ(commos::IoResult::Done, commos::ReadFile(h, buf, sizeof buf, &n));
  EXPECT_EQ(0u, n);
  // The server purges when the request reaches it: what the line sends after our next write reaches us.
  uint32_t written = 0;
  ASSERT_EQ(commos::IoResult::Done, commos::WriteFile(h, "?", 1, &written, 1000));
  EXPECT_EQ("?", pty.Receive(1, 3000));
  ASSERT_TRUE(pty.Send("fresh"));
  EXPECT_EQ("fresh", ReadRemote(5));
}

TEST_F(RemoteTest, ServerLostIsGoneOnceThenTheNameOpensAgain) {
  Open();
  ASSERT_TRUE(commos::SetCommMask(h, commos::EV_RXCHAR | commos::EV_ERR));
  commos::WaitableEvent wake;
  std::atomic<uint32_t> seen{0};
  std::atomic<int> errEvents{0};
  std::atomic<bool> stop{false};
  std::thread monitor([&] {
    while (!stop) {
      uint32_t mask = 0;
      if (commos::WaitCommEvent(h, &mask, wake)) {
        seen |= mask;
        if (mask & commos::EV_ERR) ++errEvents;
        if (mask & commos::EV_RXCHAR) {
          char buf[256];
          uint32_t n = 0;
          commos::ReadFile(h, buf, sizeof buf, &n);
        }
      }
    }
  });
  ASSERT_TRUE(pty.Send("before"));
  EXPECT_TRUE(WaitUntil([&] { return (seen & commos::EV_RXCHAR) != 0; }, 3s));
  server->Kill();
  EXPECT_TRUE(WaitUntil([&] { return errEvents == 1; }, 3s));
  uint32_t errors = 0;
  commos::ComStat stat;
  ASSERT_TRUE(commos::ClearCommError(h, &errors, &stat));
  EXPECT_EQ(commos::CE_IOE, errors & commos::CE_IOE);
  ASSERT_TRUE(commos::ClearCommError(h, &errors, &stat));
  EXPECT_EQ(0u, errors);
  uint32_t written = 0;
  EXPECT_EQ(commos::IoResult::Failed, commos::WriteFile(h, "x", 1, &written, 100));
  EXPECT_EQ(commos::ErrorKind::Gone, commos::LastErrorKind());
  // Reported once: the monitor now only waits for its owner (no second EV_ERR, no spinning).
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(1, errEvents);
  stop = true;
  wake.Set();
  monitor.join();
  commos::CloseHandle(h);
  h.reset();

  // While nothing listens the reopen fails at once; once the server is back, the same name opens.
  const int64_t start = NowMs();
  EXPECT_FALSE(commos::CreateFile(server->url()));
  EXPECT_LT(NowMs() - start, 1000);
  EXPECT_EQ(commos::ErrorKind::Missing, commos::LastErrorKind());
  ASSERT_TRUE(server->Start()) << server->Log();
  Open();
  ASSERT_TRUE(pty.Send("after"));
  EXPECT_EQ("after", ReadRemote(5));
}

TEST(RemoteOpen, FailuresSayWhyAndAreMissing) {
  const uint16_t free = Ser2net::FreePort();
  // A listener whose queue is full never answers a further connect.
  const int full = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(0, ::bind(full, reinterpret_cast<sockaddr*>(&a), sizeof a));
  ASSERT_EQ(0, ::listen(full, 0));
  ASSERT_EQ(0, ::getsockname(full, reinterpret_cast<sockaddr*>(&a), &len));
  const std::string fullUrl = "rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(c);
  }
  std::this_thread::sleep_for(100ms);
  const std::string refused = "127.0.0.1:" + std::to_string(free);
  const struct {
    std::string name;
    std::string text;
    commos::ErrorKind kind;
    int64_t atLeastMs, atMostMs;
  } cases[] = {
      {"rfc2217://" + refused, "rfc2217://" + refused + ": connection refused by " + refused,
       commos::ErrorKind::Missing, 0, 1000},
      {"rfc2217://no-such-host.invalid:7000", "host not found", commos::ErrorKind::Missing, 0, 10000},
      {fullUrl, "no answer within 3 s", commos::ErrorKind::Missing, 2900, 6000},
      {"rfc2217://127.0.0.1", "rfc2217://127.0.0.1: ", commos::ErrorKind::Other, 0, 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int64_t start = NowMs();
    EXPECT_FALSE(commos::CreateFile(c.name));
    const int64_t took = NowMs() - start;
    EXPECT_NE(std::string::npos, commos::LastErrorText().find(c.text)) << commos::LastErrorText();
    EXPECT_EQ(c.kind, commos::LastErrorKind());
    EXPECT_GE(took, c.atLeastMs);
    EXPECT_LE(took, c.atMostMs);
  }
  for (int c : fillers) ::close(c);
  ::close(full);
}
