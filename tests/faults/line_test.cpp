// Faults of the line and of the machine around it: bytes garbled or dropped now and then, a port next to the
// indicator's that another program holds, two updaters that start together against one indicator, and the
// indicator's adapter pulled while a second adapter stays.
#include <poll.h>
#include <sys/file.h>

#include <atomic>
#include <thread>

#include "tests/faults/fault_harness.h"
#include "tests/support/pty.h"

namespace faults {
namespace {

using testing_support::FirmwareImage;
using testing_support::LoaderText;
using testing_support::Process;
using testing_support::WaitUntil;

class Line : public FaultCase {
 protected:
  Line() { WriteFile(tmp / "ld.s19", LoaderText()); }
  // The simulated indicator at ports/<link>, unpaced.
  std::unique_ptr<Process> IndicatorAt(const std::string& link, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {
        SIM_PATH,    "--link", tmp / ("ports/" + link), "--image-out",   tmp / "image.bin",
        "--timeout", "90000",  "--transcript",          tmp / "sim.txt", "--exit-after-update"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto sim = std::make_unique<Process>(args, Env{}, tmp.path, tmp / "sim-out.txt", tmp / "sim-err.txt");
    EXPECT_TRUE(WaitUntil([&] { return std::filesystem::is_symlink(tmp / ("ports/" + link)); }, 5s));
    return sim;
  }
};

struct Noise {
  const char* option;
  const char* seed;
};

void PrintTo(const Noise& n, std::ostream* os) {
  *os << n.option << " " << n.seed;
}

class NoisyLine : public Line, public ::testing::WithParamInterface<Noise> {};

TEST_P(NoisyLine, StillConfirmsTheExactImage) {
  // 2e-5 a byte in both directions; the seed puts at least one fault into the update.
  const std::string firmware = FirmwareImage(60002, 31);
  WriteFile(tmp / "fw.bin", firmware);
  auto sim = Indicator({GetParam().option, "0.00002", "--seed", GetParam().seed});
  EXPECT_EQ(RunUpdater({"/i", "fw.bin", "ld.s19"}, BRAE_UPDATE, 90s), 0) << out << err;
  EXPECT_EQ(sim->Wait(10s), 0);
  ExpectConfirmedImage(firmware);
  EXPECT_NE(ReadFile(tmp / "sim.txt").find("fault: "), std::string::npos) << "the seed brought no fault";
}

// Seeds that put faults into the update (checked above), both ways round.
const Noise kNoise[] = {
    {"--garble-prob", "4"},
    {"--garble-prob", "6"},
    {"--drop-prob", "3"},
    {"--drop-prob", "6"},
};
INSTANTIATE_TEST_SUITE_P(Faults, NoisyLine, ::testing::ValuesIn(kNoise), [](const auto& info) {
  return std::string(info.param.option[2] == 'g' ? "garble" : "drop") + "_" + info.param.seed;
});

TEST_F(Line, APortHeldByAnotherProgramNextToTheIndicatorsIsPassedOver) {
  const std::string firmware = FirmwareImage(3002, 32);
  WriteFile(tmp / "fw.bin", firmware);
  testing_support::Pty busy;  // Com1: a serial device another program has locked
  std::filesystem::create_symlink(busy.path(), tmp / "ports/com1");
  ASSERT_EQ(0, flock(busy.slave(), LOCK_EX | LOCK_NB));
  auto sim = IndicatorAt("com2", {});
  EXPECT_EQ(RunUpdater({"/i", "fw.bin", "ld.s19"}, BRAE_UPDATE, 60s), 0) << out << err;
  EXPECT_EQ(sim->Wait(10s), 0);
  ExpectConfirmedImage(firmware);
  const std::string log = LogFile();
  EXPECT_NE(log.find("Can not open Com1 to communicate"), std::string::npos) << log;
  EXPECT_NE(log.find("Sending {ZA1} at 9600 baud rate on COM2"), std::string::npos) << log;
  EXPECT_EQ(log.find("baud rate on COM1"), std::string::npos) << "nothing is sent to the busy port";
}

TEST_F(Line, TwoUpdatersAtOnceOneGetsThePort) {
  const std::string firmware = FirmwareImage(3002, 33);
  WriteFile(tmp / "fw.bin", firmware);
  auto sim = Indicator();
  std::unique_ptr<Process> updaters[2] = {
      Updater({"/i", "fw.bin", "ld.s19"}, BRAE_UPDATE, {{"BRAE_LOG_DIR", tmp / "log0"}}, "first"),
      Updater({"/i", "fw.bin", "ld.s19"}, BRAE_UPDATE, {{"BRAE_LOG_DIR", tmp / "log1"}}, "second")};
  int winner = -1;
  ASSERT_TRUE(WaitUntil(
      [&] {
        for (int i = 0; i < 2; ++i) {
          if (updaters[i]->Wait(0ms) == 0) winner = i;
        }
        return winner >= 0;
      },
      60s));
  EXPECT_EQ(sim->Wait(10s), 0);
  ExpectConfirmedImage(firmware);
  // The other one never had the port: it is still looking for an indicator, and Exit ends it.
  Process& loser = *updaters[1 - winner];
  EXPECT_EQ(loser.Wait(0ms), -1) << loser.Out();
  loser.Signal(SIGTERM);
  EXPECT_EQ(loser.Wait(2s), 1);
  const std::string log = ReadFile(tmp / ("log" + std::to_string(1 - winner) + "/" + kLogName));
  EXPECT_NE(log.find("Can not open Com1 to communicate"), std::string::npos) << log;
}

// A machine with two USB adapters: the indicator's, and another one whose far end only listens. Its /dev is a
// folder of the test's own (BRAE_DEV_ROOT), so ComN counts ttyUSB0 and ttyUSB1 there, as on a real machine.
struct TwoAdapters {
  const char* name;
  bool byId;  // udev's stable links under serial/by-id
};

void PrintTo(const TwoAdapters& t, std::ostream* os) {
  *os << t.name;
}

class AdapterPulled : public Line, public ::testing::WithParamInterface<TwoAdapters> {
 protected:
  // Counts what reaches the far end of the other adapter, until the end of the test.
  void Listen() {
    listener_ = std::thread([this] {
      while (!stop_) {
        pollfd p{other_.master(), POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(other_.master(), buf, sizeof buf);
        if (n > 0) heard_ += static_cast<size_t>(n);
      }
    });
  }
  ~AdapterPulled() override {
    stop_ = true;
    if (listener_.joinable()) listener_.join();
  }

  testing_support::Pty other_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> heard_{0};
  std::thread listener_;
};

TEST_P(AdapterPulled, MidImageTheOtherAdapterHearsNothingAndTheImageArrivesWhenItIsBack) {
  const std::string dev = tmp / "dev";
  std::filesystem::create_directories(dev + "/serial/by-id");
  ASSERT_TRUE(other_.ok());
  std::filesystem::create_symlink(other_.path(), dev + "/ttyUSB1");
  Listen();
  const std::string byIdA = dev + "/serial/by-id/usb-Brae_Test_Adapter_A-if00-port0";
  if (GetParam().byId) {
    // Relative, as udev makes them: while the adapter is away, its link leads nowhere.
    std::filesystem::create_symlink("../../ttyUSB0", byIdA);
    std::filesystem::create_symlink("../../ttyUSB1",
                                    dev + "/serial/by-id/usb-Brae_Test_Adapter_B-if00-port0");
  }
  const std::string firmware = FirmwareImage(20002, 34);
  WriteFile(tmp / "fw.bin", firmware);
  // About 6 KB into the image, the adapter is pulled for 1.5 s: the pty and its link go, then come back.
  auto sim = std::make_unique<Process>(
      std::vector<std::string>{SIM_PATH, "--link", dev + "/ttyUSB0", "--image-out", tmp / "image.bin",
                               "--timeout", "90000", "--transcript", tmp / "sim.txt", "--exit-after-update",
                               "--vanish-after", "8000:1500"},
      Env{}, tmp.path, tmp / "sim-out.txt", tmp / "sim-err.txt");
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::is_symlink(dev + "/ttyUSB0"); }, 5s));
  auto updater = Updater({"/i", "fw.bin", "ld.s19"}, BRAE_UPDATE,
                         {{"BRAE_PORT_DIR", std::nullopt}, {"BRAE_DEV_ROOT", dev}});
  EXPECT_EQ(updater->Wait(60s), 0) << updater->Out() << updater->Err();
  EXPECT_EQ(sim->Wait(10s), 0) << ReadFile(tmp / "sim-err.txt");
  ExpectConfirmedImage(firmware);
  EXPECT_EQ(0u, heard_.load()) << "the other adapter was written to";
  const std::string log = LogFile();
  EXPECT_NE(log.find("1000 byte not acknowledge"), std::string::npos) << "not pulled mid-image:\n" << log;
  const std::string device = " (" + (GetParam().byId ? byIdA : dev + "/ttyUSB0") + ")";
  EXPECT_NE(log.find("Com1 has gone away; opening it again as soon as it is back" + device),
            std::string::npos)
      << log;
  const size_t back = log.find("Com1 is back after ");
  ASSERT_NE(back, std::string::npos) << log;
  EXPECT_EQ(log.substr(log.find(" ms away", back), 8 + device.size()), " ms away" + device);
}

const TwoAdapters kTwoAdapters[] = {{"ByIdLinks", true}, {"DevicePathsOnly", false}};
INSTANTIATE_TEST_SUITE_P(TwoAdapters, AdapterPulled, ::testing::ValuesIn(kTwoAdapters),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace faults
