// Faults of the line and of the machine around it: bytes garbled or dropped now and then, a port next to the
// indicator's that another program holds, and two updaters that start together against one indicator.
#include <sys/file.h>

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

}  // namespace
}  // namespace faults
