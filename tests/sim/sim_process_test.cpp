// The real simulator process, driven from the updater's end of a real pty with plain writes.
#include <gtest/gtest.h>

#include "sim_harness.h"
#include "tools/indicator-sim/crc16.h"

namespace {

using namespace simtest;

std::uint16_t crc_of(const Bytes& image) {
  return sim::crc16_arc({reinterpret_cast<const std::uint8_t*>(image.data()), image.size()});
}

// From "U" to the last block: T, the erase, V, the size, every block. Returns what came back.
Bytes erase_and_send(Line& line, const Bytes& image) {
  Bytes got = line.ask("U", 2, 3000ms);  // T, then V once erased
  got += line.ask(le32(static_cast<std::uint32_t>(image.size())), 1);
  for (std::size_t pos = 0; pos + 1000 <= image.size(); pos += 1000)
    got += line.ask(image.substr(pos, 1000) + "\xA5", 1);
  if (image.size() % 1000) got += line.ask(image.substr(image.size() - image.size() % 1000), 1);
  return got;
}

std::string blocks_answer(std::size_t size) {
  std::string s = "TVW" + std::string(size / 1000, 'Z');
  return s + "X";
}

TEST(SimProtocol, WholeUpdateFromFirmwareToConfirmedImage) {
  TempDir out;
  std::string image_path = out / "image.bin";
  SimProcess real({"--image-out", image_path, "--exit-after-update", "--erase-ms", "100"});
  Line line(real.link);
  EXPECT_EQ(line.ask("{ZA1}", 1), "^");
  EXPECT_EQ(line.ask("{SCPC}", 3), "[0]");
  EXPECT_EQ(line.ask("{VFSH}", 5), "[512]");
  EXPECT_EQ(line.ask("{VC}", 6), "[1.20]");
  EXPECT_EQ(line.ask("{VW}", 6), "[1.07]");
  EXPECT_EQ(line.ask("{FT}", 6), "[1200]");
  EXPECT_EQ(line.ask("{ZE1}", 1), "^");
  EXPECT_EQ(line.ask("{PS420004,424FFF}", 8), "[424000]");
  EXPECT_EQ(line.ask("{SEBX38400}", 1), "^");
  line.set_rate(B38400);
  EXPECT_EQ(line.ask("{ZA1}", 1), "^");
  EXPECT_EQ(line.ask("{SEHA1}", 1), "^");
  EXPECT_EQ(line.ask("{PM}", 1), "^");
  EXPECT_EQ(line.ask(kLoader, 1), "Q");
  EXPECT_EQ(line.read_for(50ms), "");
  EXPECT_EQ(line.ask("{ZA1}", 1, 200ms), "") << "the running loader ignores firmware commands";

  Bytes image = random_image(2500, 1);
  EXPECT_EQ(erase_and_send(line, image), blocks_answer(2500));
  EXPECT_EQ(line.ask(le16(crc_of(image)), 1), "Y");
  EXPECT_EQ(real.wait_exit(), 0) << real.transcript();
  EXPECT_EQ(read_file(image_path), image);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(real.link))) << "link left behind";
  // The transcript is one line per block, not per byte.
  std::string t = real.transcript();
  EXPECT_NE(t.find("block 2/2 (1000 bytes + A5) -> Z"), std::string::npos) << t;
  EXPECT_LT(std::count(t.begin(), t.end(), '\n'), 40) << t;
}

TEST(SimProtocol, BootLoaderChecksTheCrcAndAcceptsAWholeNewTransfer) {
  TempDir out;
  SimProcess sim(
      {"--boot", "--bad-crc-once", "--erase-ms", "50", "--image-out", out / "img", "--exit-after-update"});
  Line line(sim.link);
  EXPECT_EQ(line.ask("{ZA1}", 1, 200ms), "") << "the boot loader is silent to commands";
  Bytes image = random_image(1500, 2);
  // 1: the right CRC, but the injected fault fails the check once.
  EXPECT_EQ(erase_and_send(line, image), blocks_answer(1500));
  EXPECT_EQ(line.ask(le16(crc_of(image)), 1, 300ms), "");
  // 2: a wrong CRC is refused on its own merits.
  EXPECT_EQ(erase_and_send(line, image), blocks_answer(1500));
  EXPECT_EQ(line.ask(le16(static_cast<std::uint16_t>(crc_of(image) ^ 0x0100)), 1, 300ms), "");
  // 3: a different image, whose CRC is right.
  image = random_image(1234, 3);
  EXPECT_EQ(erase_and_send(line, image), blocks_answer(1234));
  EXPECT_EQ(line.ask(le16(crc_of(image)), 1), "Y");
  EXPECT_EQ(sim.wait_exit(), 0) << sim.transcript();
  EXPECT_EQ(read_file(out / "img"), image);
}

TEST(SimProtocol, RefusesBadSizesAndMarkersAndHandlesWholeBlockImages) {
  SimProcess sim({"--boot", "--erase-ms", "0", "--resync-gap", "150"});
  Line line(sim.link);
  // Above 1 MiB: no W. The updater's "U" after its timeout starts over.
  EXPECT_EQ(line.ask("U", 2), "TV");
  EXPECT_EQ(line.ask(le32(1048577), 1, 300ms), "");
  // A "U" straight after other bytes is data, not a restart; after silence it is a restart.
  EXPECT_EQ(line.ask("U", 2, 400ms), "TV");
  // A block whose marker is not 0xA5 gets no Z.
  Bytes image = random_image(2000, 4);
  EXPECT_EQ(line.ask(le32(2000), 1), "W");
  EXPECT_EQ(line.ask(image.substr(0, 1000) + "\x5A", 1, 300ms), "");
  // Exactly two full blocks: the second Z is followed by X, then the CRC.
  EXPECT_EQ(line.ask("U", 2, 400ms), "TV");
  EXPECT_EQ(line.ask(le32(2000), 1), "W");
  EXPECT_EQ(line.ask(image.substr(0, 1000) + "\xA5", 1), "Z");
  EXPECT_EQ(line.ask(image.substr(1000) + "\xA5", 2), "ZX");
  EXPECT_EQ(line.ask(le16(crc_of(image)), 1), "Y");
  sim.signal(SIGTERM);
  EXPECT_EQ(sim.wait_exit(), 0) << "an image was confirmed";
}

TEST(SimProtocol, LoaderWithABadOrTruncatedRecordGetsNoQ) {
  SimProcess sim({"--erase-ms", "0"});
  Line line(sim.link);
  Bytes bad_checksum = kLoader;
  bad_checksum.replace(bad_checksum.find("0A0042"), 6, "0A0043");
  Bytes truncated = kLoader;
  truncated.erase(truncated.find("S5030003F9") + 8, 2);
  for (const Bytes& loader : {bad_checksum, truncated}) {
    EXPECT_EQ(line.ask("{PM}", 1), "^");
    EXPECT_EQ(line.ask(loader, 1, 300ms), "");
    // The firmware still runs: the updater's "{ZA1}" is answered.
    EXPECT_EQ(line.ask("{ZA1}", 1), "^");
  }
  EXPECT_EQ(line.ask("{PM}", 1), "^");
  EXPECT_EQ(line.ask(kLoader, 1), "Q");
  EXPECT_EQ(line.ask("U", 2), "TV");
  std::string t = sim.transcript();
  EXPECT_NE(t.find("bad checksum"), std::string::npos) << t;
  EXPECT_NE(t.find("truncated"), std::string::npos) << t;
}

TEST(SimLine, WrongRateIsGarbageBothWays) {
  SimProcess sim({"--erase-ms", "300"});
  Line line(sim.link, B38400);
  EXPECT_EQ(line.ask("{ZA1}", 1, 200ms), "") << "the device at 9600 cannot read 38400";
  line.set_rate(B9600);
  EXPECT_EQ(line.ask("{SEBX38400}", 1), "^") << "acknowledged at the old rate";
  EXPECT_EQ(line.ask("{ZA1}", 1, 200ms), "") << "the device has moved to 38400";
  line.set_rate(B38400);
  EXPECT_EQ(line.ask("{ZA1}", 1), "^");
  EXPECT_EQ(line.ask("{PM}", 1), "^");
  EXPECT_EQ(line.ask(kLoader, 1), "Q");
  EXPECT_EQ(line.ask("U", 1), "T");
  // The V comes while we listen at the wrong rate.
  line.set_rate(B9600);
  Bytes v = line.read(1, 1000ms);
  ASSERT_EQ(v.size(), 1u);
  EXPECT_NE(v, "V");
  EXPECT_GE(static_cast<unsigned char>(v[0]), 0x80);
  EXPECT_NE(sim.transcript().find("garbage"), std::string::npos);
}

TEST(SimLine, PaceTakesTheWireTime) {
  SimProcess sim({"--pace", "--boot", "--rate", "38400", "--erase-ms", "0"});
  Line line(sim.link, B38400);
  EXPECT_EQ(line.ask("U", 2), "TV");
  EXPECT_EQ(line.ask(le32(1500), 1), "W");
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(line.ask(random_image(1000, 5) + "\xA5", 1), "Z");
  auto ms = std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - t0).count();
  // 1001 bytes at 3840 bytes per second: 261 ms.
  EXPECT_GE(ms, 235);
  EXPECT_LE(ms, 1500);
}

// An unprivileged updater locks the port (flock + TIOCEXCL), closes it, and must be able to open it
// again: on a pty the exclusive mode would otherwise outlive the close.
TEST(SimLine, UpdaterCanReopenItsExclusivePort) {
  SimProcess sim({});
  ASSERT_TRUE(std::filesystem::is_symlink(sim.link));
  // The slave itself, since a privileged test's scratch directory is closed to the unprivileged child.
  const std::string slave = std::filesystem::read_symlink(sim.link).string();
  if (geteuid() == 0) chmod(slave.c_str(), 0666);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
    int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) _exit(11);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) _exit(12);  // the simulator holds no lock of its own
    if (ioctl(fd, TIOCEXCL) != 0) _exit(13);
    if (open(slave.c_str(), O_RDWR | O_NOCTTY) >= 0 || errno != EBUSY) _exit(14);  // exclusive while open
    close(fd);
    for (int i = 0; i < 100; ++i) {
      usleep(5000);
      int again = open(slave.c_str(), O_RDWR | O_NOCTTY);
      if (again >= 0) _exit(0);
    }
    _exit(15);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 10) GTEST_SKIP() << "root here may not become an ordinary user";
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "10 setuid, 11 open, 12 flock, 13 TIOCEXCL, 14 not exclusive, 15 no reopen\n"
      << sim.transcript();
}

TEST(SimFaults, SilentAndAnswerAfterTries) {
  {
    SimProcess sim({"--silent"});
    Line line(sim.link);
    EXPECT_EQ(line.ask("{ZA1}", 1, 200ms), "");
    EXPECT_EQ(line.ask("{SCPC}", 1, 100ms), "");
    EXPECT_NE(sim.transcript().find("{SCPC} -> (fault: silent)"), std::string::npos) << "heard, not answered";
  }
  SimProcess sim({"--answer-after", "2:{SEBX38400}"});
  Line line(sim.link);
  EXPECT_EQ(line.ask("{ZA1}", 1), "^") << "other commands are answered at once";
  EXPECT_EQ(line.ask("{SEBX38400}", 1, 150ms), "");
  EXPECT_EQ(line.ask("{SEBX38400}", 1, 150ms), "");
  EXPECT_EQ(line.ask("{SEBX38400}", 1), "^");
  line.set_rate(B38400);
  EXPECT_EQ(line.ask("{ZA1}", 1), "^") << "the unanswered tries did not switch the rate";
}

TEST(SimFaults, DroppedBlockAcknowledgementThenRestart) {
  TempDir out;
  SimProcess sim({"--boot", "--erase-ms", "0", "--resync-gap", "150", "--drop-ack", "2:Z", "--image-out",
                  out / "img", "--exit-after-update"});
  Line line(sim.link);
  Bytes image = random_image(3500, 6);
  EXPECT_EQ(line.ask("U", 2), "TV");
  EXPECT_EQ(line.ask(le32(3500), 1), "W");
  EXPECT_EQ(line.ask(image.substr(0, 1000) + "\xA5", 1), "Z");
  EXPECT_EQ(line.ask(image.substr(1000, 1000) + "\xA5", 1, 300ms), "") << "the second Z is dropped";
  EXPECT_EQ(erase_and_send(line, image), blocks_answer(3500));
  EXPECT_EQ(line.ask(le16(crc_of(image)), 1), "Y");
  EXPECT_EQ(sim.wait_exit(), 0) << sim.transcript();
  EXPECT_EQ(read_file(out / "img"), image);
}

Bytes noisy_session(const std::string& seed) {
  SimProcess sim({"--drop-prob", "0.15", "--garble-prob", "0.15", "--seed", seed});
  Line line(sim.link);
  // All commands at once, then everything until the line is quiet: the faults are drawn per byte in order, so
  // the bytes that come back depend on the seed alone, not on how the answers fall into reading windows.
  Bytes commands;
  for (int i = 0; i < 30; ++i) commands += "{ZA1}";
  line.write(commands);
  Bytes got;
  for (Bytes chunk; !(chunk = line.read(1 << 20, 300ms)).empty();) got += chunk;
  return got;
}

TEST(SimFaults, DropAndGarbleAreSeededAndReproducible) {
  Bytes a = noisy_session("7"), b = noisy_session("7");
  EXPECT_EQ(a, b);
  auto carets = std::count(a.begin(), a.end(), '^');
  EXPECT_GT(carets, 3) << a;
  EXPECT_LT(carets, 28) << a;
}

TEST(SimFaults, VanishesAndComesBackAtTheSameLink) {
  SimProcess sim({"--vanish-after", "10:300"});
  {
    Line line(sim.link);
    EXPECT_EQ(line.ask("{ZA1}", 1), "^");
    EXPECT_EQ(line.ask("{ZA1}", 1, 500ms), "");
    EXPECT_TRUE(line.hung_up) << "the updater sees a hang-up";
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(sim.link)));
  }
  auto until = std::chrono::steady_clock::now() + 3s;
  while (!std::filesystem::is_symlink(sim.link) && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(5ms);
  Line again(sim.link);
  EXPECT_EQ(again.ask("{ZA1}", 1), "^");
}

TEST(SimFaults, StuckXoffHoldsTheUpdatersOutput) {
  SimProcess sim({"--stuck-xoff", "5"});
  Line line(sim.link);
  line.software_flow_control();
  EXPECT_EQ(line.ask("{ZA1}", 1), "^");
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(::write(line.fd(), "{ZA1}", 5), -1) << "output held by XOFF";
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(line.read_for(200ms), "");
}

TEST(SimRobustness, JunkOverlongAndUnknownCommandsAreIgnored) {
  SimProcess sim({});
  Line line(sim.link);
  EXPECT_EQ(line.ask("{XYZ}", 1, 150ms), "");
  EXPECT_EQ(line.ask("{SEBX1234}", 1, 100ms), "") << "no such rate";
  EXPECT_EQ(line.ask("{" + std::string(100000, 'A') + "}", 1, 300ms), "");
  EXPECT_EQ(line.ask("{ZA1" + std::string(70, '1') + "}", 1, 100ms), "") << "cut, not truncated to a command";
  Bytes junk = random_image(65536, 7);
  for (char& c : junk)
    if (c == '{') c = '#';  // keep chance commands out of the junk
  line.write(junk);
  line.read_for(300ms);
  EXPECT_EQ(line.ask("}{ZA1}", 1), "^");
  EXPECT_TRUE(sim.running());
}

TEST(SimCommandLine, BadValuesExitWithTwoAndAClearMessage) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  TempDir d;
  std::vector<Case> cases = {
      {{"--link", d / "x", "--rate", "1234"}, "--rate '1234'"},
      {{"--link", d / "x", "--drop-prob", "1.5"}, "probability"},
      {{"--link", d / "x", "--drop-ack", "2:K"}, "--drop-ack"},
      {{"--link", d / "x", "--vc", "[1]"}, "brackets"},
      {{"--link", d / "x", "--erase-ms"}, "needs a value"},
      {{"--rate", "9600"}, "--link"},
      {{"--link", d / "x", "--frobnicate"}, "unknown option"},
  };
  for (const auto& c : cases) {
    SimProcess sim(SimProcess::Raw{}, c.args);
    EXPECT_EQ(sim.wait_exit(), 2) << c.message;
    EXPECT_NE(sim.errors().find(c.message), std::string::npos) << sim.errors();
  }
  SimProcess help(SimProcess::Raw{}, {"--help"});
  EXPECT_EQ(help.wait_exit(), 0);
}

TEST(SimCommandLine, EndsCleanlyOnSignalOrTimeoutAndGuardsTheLinkPath) {
  {
    SimProcess sim({"--timeout", "200"});
    EXPECT_EQ(sim.wait_exit(), 1) << "no image";
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(sim.link)));
  }
  {
    SimProcess sim({});
    ASSERT_TRUE(std::filesystem::is_symlink(sim.link));
    sim.signal(SIGINT);
    EXPECT_EQ(sim.wait_exit(), 1);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(sim.link)));
  }
  TempDir d;
  std::filesystem::create_symlink("/nonexistent", d / "com4");
  SimProcess replaced(SimProcess::Raw{}, {"--link", d / "com4", "--timeout", "300"});
  auto until = std::chrono::steady_clock::now() + 2s;
  while (std::filesystem::read_symlink(d / "com4") == "/nonexistent" &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(2ms);
  EXPECT_EQ(std::filesystem::read_symlink(d / "com4").string().rfind("/dev/pts/", 0), 0u);
  EXPECT_EQ(replaced.wait_exit(), 1);
  std::ofstream(d / "file") << "x";
  SimProcess refused(SimProcess::Raw{}, {"--link", d / "file"});
  EXPECT_EQ(refused.wait_exit(), 3);
  EXPECT_NE(refused.errors().find("not a symbolic link"), std::string::npos) << refused.errors();
  EXPECT_EQ(read_file(d / "file"), "x");
}

}  // namespace
