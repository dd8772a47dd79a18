// Remote lines (rfc2217://HOST:PORT) against a real device server (ser2net) serving a pseudo-terminal whose
// far side the test holds, and against a scripted loopback server for what ser2net never does. Whole updates
// through the component are in the faults tests.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>

#include <thread>

#include "serial/CommOs.h"
#include "serial/net/Telnet.h"
#include "tests/support/pty.h"
#include "tests/support/ser2net.h"
#include "toolkit/Clock.h"

using namespace std::chrono_literals;
using namespace commos::net;
using testing_support::Pty;
using testing_support::Ser2net;
using testing_support::WaitUntil;

namespace {

int64_t NowMs() {
  return tk::MonotonicUs() / 1000;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

// A loopback listener on a free port, written to `port`.
int Listen(int backlog, uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof a;
  EXPECT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
  EXPECT_EQ(0, ::listen(fd, backlog));
  EXPECT_EQ(0, ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len));
  *port = ntohs(a.sin_port);
  return fd;
}

// Every third byte 0xFF, the rest walking through the telnet commands and all other values.
std::string RichImage(size_t size) {
  std::string image(size, '\0');
  for (size_t i = 0; i < size; ++i)
    image[i] = static_cast<char>(i % 3 == 0 ? 0xFF : i % 3 == 1 ? 0xF0 + (i / 3) % 16 : (i * 7) % 256);
  return image;
}

struct RemoteTest : ::testing::Test {
  void SetUp() override {
    if (!Ser2net::Installed()) GTEST_SKIP() << "ser2net is not installed (scripts/setup.sh installs it)";
    ASSERT_TRUE(pty.ok());
    server = std::make_unique<Ser2net>(pty.path());
    ASSERT_TRUE(server->Start()) << server->Log();
    h = commos::CreateFile(server->url());
    ASSERT_TRUE(h) << commos::LastErrorText() << "\n" << server->Log();
  }
  void TearDown() override {
    if (h) commos::CloseHandle(h);
  }
  // Reads from the remote port until `want` bytes came or 5 s passed.
  std::string ReadRemote(size_t want) {
    std::string got;
    for (const int64_t end = NowMs() + 5000; got.size() < want && NowMs() < end;) {
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

}  // namespace

TEST_F(RemoteTest, SettingsReachTheLineAndWhatWasNotConfirmedIsToldOnce) {
  // ser2net on a pseudo-terminal leaves DTR and RTS unanswered; the rest it confirms.
  EXPECT_EQ(server->url() + " did not confirm: DTR/RTS control", commos::TakeOpenNotice());
  EXPECT_EQ("", commos::TakeOpenNotice());
  // Unanswered requests hold nothing up.
  EXPECT_TRUE(commos::EscapeCommFunction(h, commos::CLRDTR));
  EXPECT_FALSE(commos::EscapeCommFunction(h, 99));
  EXPECT_EQ(commos::FILE_TYPE_CHAR, commos::GetFileType(h));
  EXPECT_EQ(server->url(), commos::StableName(h));
  const struct {
    uint32_t rate, flags;
    speed_t speed;
    bool ixon;
  } steps[] = {
      {38400, commos::fBinary | commos::fOutX | commos::fInX, B38400, true},
      {115200, commos::fBinary, B115200, false},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.rate);
    commos::Dcb dcb;
    dcb.BaudRate = s.rate;
    dcb.Flags = s.flags;
    ASSERT_TRUE(commos::SetCommState(h, dcb)) << commos::LastErrorText();
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

TEST_F(RemoteTest, PurgeDropsWhatWasQueuedAndEveryByteValueComesInAfter) {
  ASSERT_TRUE(pty.Send("stale bytes"));
  commos::ComStat stat;
  ASSERT_TRUE(WaitUntil([&] { return commos::ClearCommError(h, nullptr, &stat) && stat.cbInQue == 11; }, 3s));
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
  const std::string fresh = RichImage(3000);
  ASSERT_TRUE(pty.Send(fresh));
  EXPECT_TRUE(fresh == ReadRemote(fresh.size()));
}

TEST_F(RemoteTest, MonitorTellsEachEventOnceAndTheServersLossOnce) {
  ASSERT_TRUE(commos::SetCommMask(h, commos::EV_RXCHAR | commos::EV_TXEMPTY | commos::EV_ERR));
  commos::WaitableEvent wake, done;
  const uint32_t kWoken = ~0u, kEndedEarly = ~1u;
  // One wait, ended by `wake` after `ms` when nothing comes: the events it returned, or kWoken (kEndedEarly
  // when it gave up by itself, as a spinning monitor would).
  auto wait = [&](int ms) {
    const int64_t start = NowMs();
    wake.Reset();
    done.Reset();
    std::thread waker([&] {
      if (!done.Wait(ms)) wake.Set();
    });
    uint32_t mask = 0;
    const bool got = commos::WaitCommEvent(h, &mask, wake);
    done.Set();
    waker.join();
    return got ? mask : NowMs() - start >= ms * 3 / 4 ? kWoken : kEndedEarly;
  };
  uint32_t n = 0;
  ASSERT_EQ(commos::IoResult::Done, commos::WriteFile(h, "abc", 3, &n, 1000));
  EXPECT_EQ(commos::EV_TXEMPTY, wait(3000));
  EXPECT_EQ("abc", pty.Receive(3, 3000));
  ASSERT_TRUE(pty.Send("xyz"));
  EXPECT_EQ(commos::EV_RXCHAR, wait(3000));
  EXPECT_EQ(kWoken, wait(200));  // nothing new and nothing read: nothing to tell
  // A read that leaves bytes queued: they are told again, as the local monitor does.
  char c = 0;
  ASSERT_EQ(commos::IoResult::Done, commos::ReadFile(h, &c, 1, &n));
  EXPECT_EQ('x', c);
  EXPECT_EQ(commos::EV_RXCHAR, wait(3000));
  EXPECT_EQ("yz", ReadRemote(2));
  EXPECT_EQ(kWoken, wait(200));

  // The loss: told once, then the monitor only waits for its owner (no second EV_ERR, no spinning).
  server->Kill();
  EXPECT_EQ(commos::EV_ERR, wait(3000));
  EXPECT_EQ(kWoken, wait(200));
  uint32_t errors = 0;
  ASSERT_TRUE(commos::ClearCommError(h, &errors, nullptr));
  EXPECT_EQ(commos::CE_IOE, errors & commos::CE_IOE);
  ASSERT_TRUE(commos::ClearCommError(h, &errors, nullptr));
  EXPECT_EQ(0u, errors);
  EXPECT_EQ(commos::IoResult::Failed, commos::WriteFile(h, "x", 1, &n, 100));
  EXPECT_EQ(commos::ErrorKind::Gone, commos::LastErrorKind());
  EXPECT_NE(std::string::npos, commos::LastErrorText().find(server->url() + ": the server "))
      << commos::LastErrorText();
}

TEST_F(RemoteTest, ClosedHandleRefusesEveryCall) {
  ASSERT_TRUE(commos::CloseHandle(h));
  EXPECT_FALSE(commos::CloseHandle(h));
  EXPECT_EQ("", commos::StableName(h));
  commos::Dcb dcb;
  uint32_t n = 0;
  char buf[4];
  EXPECT_FALSE(commos::GetCommState(h, &dcb));
  EXPECT_FALSE(commos::SetCommState(h, dcb));
  EXPECT_FALSE(commos::SetCommMask(h, commos::EV_RXCHAR));
  EXPECT_FALSE(commos::EscapeCommFunction(h, commos::SETDTR));
  EXPECT_FALSE(commos::PurgeComm(h, commos::PURGE_RXCLEAR));
  EXPECT_FALSE(commos::ClearCommError(h, nullptr, nullptr));
  EXPECT_NE(commos::IoResult::Done, commos::ReadFile(h, buf, sizeof buf, &n));
  EXPECT_NE(commos::IoResult::Done, commos::WriteFile(h, "x", 1, &n, 100));
  EXPECT_FALSE(commos::SetupComm(h, 4096, 4096));
  // Dropping the last reference after the close leaves the thread's last error alone.
  commos::CreateFile("rfc2217://127.0.0.1:" + std::to_string(Ser2net::FreePort()));
  const std::string before = commos::LastErrorText();
  h.reset();
  EXPECT_EQ(before, commos::LastErrorText());
}

TEST_F(RemoteTest, ASecondClientIsToldTheLineIsBusy) {
  EXPECT_FALSE(commos::CreateFile(server->url()));
  EXPECT_EQ(commos::ErrorKind::Busy, commos::LastErrorKind());
  EXPECT_NE(std::string::npos, commos::LastErrorText().find("Port already in use"))
      << commos::LastErrorText();
  ASSERT_TRUE(pty.Send("still mine"));  // the first keeps its line
  EXPECT_EQ("still mine", ReadRemote(10));
}

TEST(RemoteOpen, FailuresSayWhyAndAreMissing) {
  // A listener whose queue is full never answers a further connect.
  uint16_t fullPort = 0;
  const int full = Listen(0, &fullPort);
  const sockaddr_in fullAddr = Loopback(fullPort);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    ::connect(fillers.back(), reinterpret_cast<const sockaddr*>(&fullAddr), sizeof fullAddr);
  }
  std::this_thread::sleep_for(100ms);
  const std::string refused = "127.0.0.1:" + std::to_string(Ser2net::FreePort());
  const struct {
    std::string name, text;
    commos::ErrorKind kind;
    int64_t atLeastMs, atMostMs;
  } cases[] = {
      {"rfc2217://" + refused, "rfc2217://" + refused + ": connection refused by " + refused,
       commos::ErrorKind::Missing, 0, 1000},
      {"rfc2217://no-such-host.invalid:7000", "host not found", commos::ErrorKind::Missing, 0, 10000},
      {"rfc2217://127.0.0.1:" + std::to_string(fullPort), "no answer within 3 s", commos::ErrorKind::Missing,
       2900, 6000},
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

namespace {

// A loopback server that greets the client as scripted; then the test speaks for it and reads what came.
struct ScriptServer {
  explicit ScriptServer(const Bytes& greeting) {
    listener = Listen(1, &port);
    greeter = std::thread([this, greeting] {
      pollfd p{listener, POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1) return;
      conn = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      Say(greeting);
    });
  }
  ~ScriptServer() {
    if (greeter.joinable()) greeter.join();
    if (conn >= 0) ::close(conn);
    ::close(listener);
  }
  std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port); }
  // After the client's open: the greeting went out.
  void Greeted() { greeter.join(); }
  void Say(const Bytes& bytes) {
    EXPECT_EQ(ssize_t(bytes.size()), ::send(conn, bytes.data(), bytes.size(), MSG_NOSIGNAL));
  }
  // Takes in what the client has sent so far.
  void Take() {
    uint8_t buf[65536];
    for (ssize_t n; (n = ::recv(conn, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
      parser.Feed(buf, static_cast<size_t>(n), data, events);
  }
  int Count(uint8_t verb, uint8_t option) const {
    int n = 0;
    for (const auto& e : events) n += e.verb == verb && e.option == option;
    return n;
  }
  // The values of the com-port requests with this command code.
  std::vector<Bytes> Requests(uint8_t command) const {
    std::vector<Bytes> found;
    for (const auto& e : events) {
      if (e.verb == kSb && e.option == kOptComPort && !e.payload.empty() && e.payload[0] == command)
        found.emplace_back(e.payload.begin() + 1, e.payload.end());
    }
    return found;
  }

  int listener = -1, conn = -1;
  uint16_t port = 0;
  std::thread greeter;
  TelnetParser parser;
  Bytes data;
  std::vector<TelnetEvent> events;
};

Bytes Cmds(std::initializer_list<std::pair<uint8_t, uint8_t>> list) {
  Bytes b;
  for (const auto& [verb, option] : list) AppendCommand(b, verb, option);
  return b;
}

}  // namespace

TEST(RemoteScripted, NegotiationAnswersOnceAndSettingsOnlyWhenChanged) {
  // A server that offers and asks for what the client does not do, and keeps on asking.
  const Bytes pushy = Cmds({{kWill, 1}, {kDo, 24}, {kDo, kOptBinary}, {kWill, kOptBinary}});
  Bytes greeting = Cmds({{kDo, kOptComPort}, {kWill, kOptSuppressGoAhead}, {kDo, kOptSuppressGoAhead}});
  greeting.insert(greeting.end(), pushy.begin(), pushy.end());
  ScriptServer server(greeting);
  commos::Handle h = commos::CreateFile(server.url());
  ASSERT_TRUE(h) << commos::LastErrorText();
  server.Greeted();
  EXPECT_EQ(server.url() + " did not confirm: rate, DTR/RTS control", commos::TakeOpenNotice());
  for (int i = 0; i < 5; ++i) server.Say(pushy);
  commos::Dcb dcb;
  dcb.BaudRate = 38400;
  ASSERT_TRUE(commos::SetCommState(h, dcb));
  ASSERT_TRUE(commos::SetCommState(h, dcb));
  dcb.Flags |= commos::fOutX | commos::fInX;
  ASSERT_TRUE(commos::SetCommState(h, dcb));
  dcb.BaudRate = 0x1FF00;  // a 0xFF inside the value
  ASSERT_TRUE(commos::SetCommState(h, dcb));
  uint32_t written = 0;
  ASSERT_EQ(commos::IoResult::Done, commos::WriteFile(h, "end\xff", 4, &written, 1000));
  // Reads make the client take in the server's repeated offers meanwhile.
  EXPECT_TRUE(WaitUntil(
      [&] {
        char buf[8];
        commos::ReadFile(h, buf, sizeof buf, &written);
        server.Take();
        return server.data.size() == 4;
      },
      3s));
  EXPECT_EQ(Bytes({'e', 'n', 'd', 0xFF}), server.data);
  const struct {
    uint8_t verb, option;
    int times;
  } answers[] = {
      {kWill, kOptBinary, 1}, {kDo, kOptBinary, 1}, {kWill, kOptComPort, 1},
      {kDont, 1, 1},          {kWont, 24, 1},       {kWill, 1, 0},
  };
  for (const auto& a : answers)
    EXPECT_EQ(a.times, server.Count(a.verb, a.option)) << +a.verb << " " << +a.option;
  // The rate: asked at open, set once, not again while unchanged; the flow control once when it changed.
  EXPECT_EQ((std::vector<Bytes>{{0, 0, 0, 0}, {0, 0, 0x96, 0}, {0, 1, 0xFF, 0}}),
            server.Requests(kSetBaudRate));
  EXPECT_EQ((std::vector<Bytes>{{kControlDtrOn}, {kControlRtsOn}, {kControlFlowNone}, {kControlFlowXonXoff}}),
            server.Requests(kSetControl));
  EXPECT_EQ(1u, server.Requests(kSetDataSize).size());
  commos::CloseHandle(h);
}

TEST(RemoteScripted, AServerThatCannotCarryTheLineIsRefusedAndHearsNothingOfTheProtocol) {
  const std::string rawPort = "does not speak RFC 2217 (no telnet negotiation): is it a raw TCP port?";
  const std::string binary = "the server did not agree to binary data (telnet BINARY) ";
  const struct {
    const char* name;
    Bytes greeting;
    std::string reason;
  } cases[] = {
      {"a raw TCP port", {}, rawPort},
      {"a raw TCP port whose line talks", {'1', '2', '.', '5', ' ', 'k', 'g', '\r', '\n'}, rawPort},
      {"the com-port option refused", Cmds({{kDont, kOptComPort}, {kWill, kOptBinary}, {kDo, kOptBinary}}),
       "does not speak RFC 2217 (the com-port option was refused or not answered)"},
      {"binary refused to the line", Cmds({{kDo, kOptComPort}, {kDont, kOptBinary}, {kWill, kOptBinary}}),
       binary + "to the line"},
      {"binary refused from the line", Cmds({{kDo, kOptComPort}, {kDo, kOptBinary}, {kWont, kOptBinary}}),
       binary + "from the line"},
      {"binary never answered", Cmds({{kDo, kOptComPort}}), binary + "to the line"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(c.greeting);
    EXPECT_FALSE(commos::CreateFile(server.url()));
    EXPECT_NE(std::string::npos, commos::LastErrorText().find(server.url() + ": " + c.reason))
        << commos::LastErrorText();
    EXPECT_EQ(commos::ErrorKind::Other, commos::LastErrorKind());
    server.Greeted();
    server.Take();
    // A raw port hears not one byte; a telnet server no subnegotiation, and no line data.
    EXPECT_TRUE(server.data.empty());
    EXPECT_EQ(c.greeting.empty() || c.greeting[0] != kIac, server.events.empty());
    for (const auto& e : server.events) EXPECT_NE(kSb, e.verb);
  }
}

TEST(RemoteScripted, AnOpenThatDoesNotWaitReturnsAtOnceAndItsTriesNeverStack) {
  // A raw TCP port: each try takes the greeting's whole window, then fails; tries come one after another.
  uint16_t port = 0;
  const int listener = Listen(8, &port);
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(port);
  std::vector<int> accepted;
  int64_t slowest = 0;
  std::string lastError;
  for (const int64_t end = NowMs() + 3300; NowMs() < end;) {
    const int64_t start = NowMs();
    EXPECT_FALSE(commos::CreateFile(url, false));
    slowest = std::max(slowest, NowMs() - start);
    if (commos::LastErrorKind() != commos::ErrorKind::Pending) lastError = commos::LastErrorText();
    for (pollfd p{listener, POLLIN, 0}; ::poll(&p, 1, 0) == 1;)
      accepted.push_back(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_LT(slowest, 50);
  // At 0 s, and at 1.5 s after the first failure's pause; the next pause (1 s) outlasts the loop.
  EXPECT_EQ(2u, accepted.size());
  EXPECT_NE(std::string::npos, lastError.find("is it a raw TCP port?")) << lastError;
  commos::CancelOpen(url);
  for (int c : accepted) ::close(c);
  ::close(listener);
}

TEST(RemoteScripted, AWriteThatRunsOutStaysPendingAndGoesFirst) {
  ScriptServer server(Cmds({{kDo, kOptComPort}, {kWill, kOptBinary}, {kDo, kOptBinary}}));
  commos::Handle h = commos::CreateFile(server.url());
  ASSERT_TRUE(h) << commos::LastErrorText();
  server.Greeted();
  // Far more than the socket buffers hold while the server reads nothing: the wait runs out with the rest
  // still ours.
  const std::string image = RichImage(8 << 20);
  uint32_t written = 0;
  EXPECT_EQ(commos::IoResult::TimedOut,
            commos::WriteFile(h, image.data(), static_cast<uint32_t>(image.size()), &written, 200));
  EXPECT_LT(written, image.size());
  commos::ComStat stat;
  ASSERT_TRUE(commos::ClearCommError(h, nullptr, &stat));
  EXPECT_GT(stat.cbOutQue, 0u);
  // A further write is not taken while the first is pending; it is refused, not queued beside.
  uint32_t second = 1;
  EXPECT_EQ(commos::IoResult::TimedOut, commos::WriteFile(h, "!", 1, &second, 50));
  EXPECT_EQ(0u, second);
  EXPECT_EQ(commos::IoResult::TimedOut, commos::WaitWrite(h, 50));
  EXPECT_EQ(0u, commos::CancelledTransfers().onTimeout);
  EXPECT_TRUE(WaitUntil(
      [&] {
        server.Take();
        return commos::WaitWrite(h, 10) == commos::IoResult::Done;
      },
      20s));
  ASSERT_EQ(commos::IoResult::Done, commos::WriteFile(h, "!", 1, &second, 1000));
  EXPECT_TRUE(WaitUntil(
      [&] {
        server.Take();
        return server.data.size() == image.size() + 1;
      },
      10s));
  Bytes want(image.begin(), image.end());
  want.push_back('!');
  EXPECT_TRUE(want == server.data);
  commos::CloseHandle(h);
}
