// No single lost answer stalls an update, and a port that goes away comes back: for each command the updater
// sends, the indicator leaves that one answer out once (or the line vanishes for a while), and the update
// still ends with the firmware confirmed byte for byte.
#include "tests/faults/fault_harness.h"

namespace faults {
namespace {

using testing_support::FirmwareImage;
using testing_support::LoaderText;

struct Fault {
  const char* name;
  std::vector<std::string> indicator;  // the simulator's fault options
  const char* logged = "";             // a line the updater's log must hold, when there is one to expect
  // The indicator confirms before the fault (its Y is lost): it must stay on the line for the second update.
  bool confirmsFirst = false;
  size_t loaderData = 512;  // data bytes of the loader's S-records
};

void PrintTo(const Fault& f, std::ostream* os) {
  *os << f.name;
}

class Survives : public FaultCase, public ::testing::WithParamInterface<Fault> {
 protected:
  // The indicator of Indicator(), but one that goes on after confirming an image.
  std::unique_ptr<testing_support::Process> StayingIndicator(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {SIM_PATH,      "--link",          tmp / "ports/com1",
                                     "--image-out", tmp / "image.bin", "--timeout",
                                     "90000",       "--transcript",    tmp / "sim.txt"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto sim = std::make_unique<testing_support::Process>(args, Env{}, tmp.path, tmp / "sim-out.txt",
                                                          tmp / "sim-err.txt");
    EXPECT_TRUE(
        testing_support::WaitUntil([&] { return std::filesystem::is_symlink(tmp / "ports/com1"); }, 5s));
    return sim;
  }
};

TEST_P(Survives, AndTheImageIsConfirmedExactly) {
  // Even and no multiple of 1000: announced as it is, so the confirmed image is the file itself.
  const std::string firmware = FirmwareImage(3002, 11);
  WriteFile(tmp / "fw.bin", firmware);
  WriteFile(tmp / "ld.s19", LoaderText(GetParam().loaderData));
  auto sim =
      GetParam().confirmsFirst ? StayingIndicator(GetParam().indicator) : Indicator(GetParam().indicator);
  EXPECT_EQ(RunUpdater({"/i", "fw.bin", "ld.s19"}, BRAE_UPDATE, 90s), 0) << out << err;
  if (!GetParam().confirmsFirst) {
    EXPECT_EQ(sim->Wait(10s), 0) << ReadFile(tmp / "sim-err.txt");
  }
  ExpectConfirmedImage(firmware);
  const std::string log = LogFile();
  EXPECT_NE(log.find(GetParam().logged), std::string::npos) << log;
}

// Each answer the updater waits for, left out once. The simulated indicator powers on at 9600 with a small
// flash and version 1 answers, so the usual path runs {ZA1} {SCPC} {VFSH} {VC} {VW} {FT} {SEBX38400}, {ZA1}
// at 38400, {SEHA1} {PM}, the loader, U, the size, three blocks, the last block and the CRC.
const Fault kLostAnswers[] = {
    {"ZA1", {"--answer-after", "1:{ZA1}"}, "Timeout in state eZa96Before"},
    {"SCPC", {"--answer-after", "1:{SCPC}"}, "Timeout in state eCheckPort"},
    {"VFSH", {"--answer-after", "1:{VFSH}"}, "Timeout in state eCheckFlash"},
    {"VC", {"--answer-after", "1:{VC}"}, "Timeout in state eRequestSCPVersion"},
    {"VW", {"--answer-after", "1:{VW}"}, "Timeout in state eRequestVersion"},
    {"FT_9600", {"--answer-after", "1:{FT}"}, "Timeout in state eFt96"},
    {"FT_38400", {"--rate", "38400", "--answer-after", "1:{FT}"}, "Timeout in state eFt384"},
    {"PS", {"--vc", "2.00", "--answer-after", "1:{PS420004,424FFF}"}, "Timeout in state eCheckHeapAddress"},
    {"SEBX38400", {"--answer-after", "1:{SEBX38400}"}, "Timeout in state eSebx384"},
    {"ZA1_38400", {"--drop-ack", "3:^"}, "Timeout in state eZa384After"},
    {"SEHA1", {"--answer-after", "1:{SEHA1}"}, "Timeout in state eSeha"},
    {"PM", {"--answer-after", "1:{PM}"}, "PM not acknowledged."},
    {"U", {"--answer-after", "1:U"}, "Can not receive T."},
    {"Size", {"--drop-ack", "1:W"}, "Can not receive W. Sending firmware size failed."},
    {"Block", {"--drop-ack", "2:Z"}, "1000 byte not acknowledge. Using time: "},
    {"LastBlock", {"--drop-ack", "1:X"}, "Data transfer failed. Did not receive x"},
    // The image is in: the indicator restarts into it and is silent to U, so it is identified anew and
    // updated once more.
    {"Crc",
     {"--drop-ack", "1:Y"},
     "Download not OK.(Already receive X,but crc not correct,did not receive y)",
     true},
};
INSTANTIATE_TEST_SUITE_P(LostAnswer, Survives, ::testing::ValuesIn(kLostAnswers),
                         [](const auto& info) { return std::string(info.param.name); });

// {VFSH} unanswered. A firmware above 600000 bytes needs the large flash that only the answer tells of: the
// indicator is identified again until it answers, never refused for a size it did not send. A smaller one
// suits either flash, so the update goes on at once, having asked once.
struct FlashQuestion {
  const char* name;
  size_t firmwareBytes;
  std::vector<std::string> indicator;
  size_t asked;  // {VFSH} commands the indicator heard
};

void PrintTo(const FlashQuestion& f, std::ostream* os) {
  *os << f.name;
}

class FlashSizeUnanswered : public FaultCase, public ::testing::WithParamInterface<FlashQuestion> {};

TEST_P(FlashSizeUnanswered, NeverRefusesTheFirmware) {
  const FlashQuestion& c = GetParam();
  const std::string firmware = FirmwareImage(c.firmwareBytes, 12);
  WriteFile(tmp / "fw.bin", firmware);
  WriteFile(tmp / "ld.s19", LoaderText());
  std::vector<std::string> indicator = c.indicator;
  indicator.insert(indicator.end(), {"--timeout", "120000"});  // 700 KB under a sanitizer on a busy machine
  auto sim = Indicator(indicator);
  EXPECT_EQ(RunUpdater({"/i", "fw.bin", "ld.s19"}, BRAE_UPDATE, 100s), 0) << out << err;
  EXPECT_EQ(sim->Wait(10s), 0) << ReadFile(tmp / "sim-err.txt");
  // An odd size is announced one 0xFF longer.
  const std::string image = ReadFile(tmp / "image.bin");
  EXPECT_EQ(firmware.size() + firmware.size() % 2, image.size());
  EXPECT_TRUE(image.compare(0, firmware.size(), firmware) == 0) << "the confirmed image differs";
  EXPECT_EQ(out.find("is not a match"), std::string::npos) << "error 4 shown:\n" << out;
  const std::string heard = ReadFile(tmp / "sim.txt");
  size_t asked = 0;
  for (size_t at = heard.find("{VFSH} ->"); at != std::string::npos; at = heard.find("{VFSH} ->", at + 1))
    ++asked;
  EXPECT_EQ(c.asked, asked) << heard;
}

const FlashQuestion kFlashQuestions[] = {
    {"LargeFirmwareFirstThreeLost", 700001, {"--flash-size", "2048", "--answer-after", "3:{VFSH}"}, 4},
    {"SmallFirmwareNeverAnswered", 3002, {"--answer-after", "1000000:{VFSH}"}, 1},
};
INSTANTIATE_TEST_SUITE_P(LostAnswer, FlashSizeUnanswered, ::testing::ValuesIn(kFlashQuestions),
                         [](const auto& info) { return std::string(info.param.name); });

// The line vanishes (a pulled cable, a USB adapter that resets) after so many bytes from the updater, and
// comes back 1.5 s later as a new device at the same name: while identifying (inside {SCPC}), during the
// loader text, during the image, and while a loader of 9.7 KB waits for a line that takes it at its rate.
const Fault kUnplugged[] = {
    {"Identification", {"--vanish-after", "8:1500"}, "Com1 is back after "},
    {"Loader", {"--vanish-after", "400:1500"}, "Com1 is back after "},
    {"Image", {"--vanish-after", "2800:1500"}, "Com1 is back after "},
    {"LoaderAtTheLinesPace", {"--pace", "--vanish-after", "3000:1500"}, "Com1 is back after ", false, 4096},
};
INSTANTIATE_TEST_SUITE_P(Unplugged, Survives, ::testing::ValuesIn(kUnplugged),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace faults
