// brae-update with BRAE_CONSOLE=json, read as a program reads it: every line of its output parsed by a JSON
// parser, against the simulated indicator, for a whole update and for runs that fail or are ended by a
// signal.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstring>

#include "tests/app/app_support.h"
#include "tests/support/updater.h"

namespace {

using namespace std::chrono_literals;
using apptest::Process;
using apptest::ReadFile;
using apptest::TempDir;
using apptest::WaitUntil;
using apptest::WriteFile;
using nlohmann::json;
using Env = std::map<std::string, std::optional<std::string>>;

constexpr char kLogName[] = "VeltronaUpdateBraeError.TXT";

// The output's lines, each parsed; a line that does not parse fails the test with its text.
std::vector<json> ParseLines(const std::string& out) {
  std::vector<json> events;
  size_t start = 0;
  for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = out.substr(start, end - start);
    json j;
    try {
      j = json::parse(line);
    } catch (const json::parse_error& e) {
      ADD_FAILURE() << "not JSON: " << line << " (" << e.what() << ")";
      continue;
    }
    EXPECT_TRUE(j.is_object()) << line;
    EXPECT_EQ(j.value("v", 0), 1) << line;
    events.push_back(j);
  }
  EXPECT_EQ(start, out.size()) << "output that does not end with a line end";
  return events;
}

// Exactly one result, as the last line, and it agrees with the exit code.
void ExpectResultLast(const std::vector<json>& events, int exitCode) {
  ASSERT_FALSE(events.empty());
  int results = 0;
  for (const auto& e : events) results += e["event"] == "result";
  EXPECT_EQ(results, 1);
  const json& r = events.back();
  ASSERT_EQ(r["event"], "result");
  EXPECT_EQ(r["exit_code"], exitCode);
  EXPECT_EQ(r["ok"], exitCode == 0);
}

class JsonProcessTest : public ::testing::Test {
 protected:
  JsonProcessTest() {
    std::filesystem::create_directory(tmp / "ports");
    WriteFile(tmp / "fw.bin", apptest::FirmwareImage(60002));
    WriteFile(tmp / "b.s19", apptest::LoaderText());
  }
  std::unique_ptr<Process> Updater(std::vector<std::string> args, const Env& extra = {}) {
    Env env = testing_support::UpdaterEnvironment(tmp, {{"BRAE_CONSOLE", "json"}});
    for (const auto& [k, v] : extra) env[k] = v;
    args.insert(args.begin(), BRAE_UPDATE);
    return std::make_unique<Process>(args, env, tmp.path, tmp / "out.txt", tmp / "err.txt");
  }
  // The simulated indicator on Com4, unpaced.
  std::unique_ptr<Process> Indicator(std::vector<std::string> extra = {}) {
    return testing_support::StartIndicator(SIM_PATH, tmp, "com4", extra);
  }
  std::string LogFile() { return ReadFile(tmp / (std::string("log/") + kLogName)); }

  TempDir tmp;
};

TEST_F(JsonProcessTest, AWholeUpdateReadsBackLineByLine) {
  auto sim = Indicator({"--exit-after-update"});
  auto updater = Updater({"/i", "fw.bin", "b.s19"}, {{"BRAE_CONSOLE_LOG", "1"}});
  const int code = updater->Wait(90s);
  EXPECT_EQ(code, 0) << updater->Err();
  EXPECT_EQ(sim->Wait(10s), 0);
  EXPECT_TRUE(ReadFile(tmp / "image.bin") == ReadFile(tmp / "fw.bin"));

  const auto events = ParseLines(updater->Out());
  ExpectResultLast(events, code);

  // Progress: per phase never backwards, from 0 to the total, loader before firmware.
  std::map<std::string, std::vector<int64_t>> bytes;
  std::map<std::string, int64_t> totals;
  std::vector<std::string> phases;
  for (const auto& e : events) {
    if (e["event"] != "progress") continue;
    const std::string phase = e["phase"];
    if (phases.empty() || phases.back() != phase) phases.push_back(phase);
    bytes[phase].push_back(e["bytes"]);
    totals[phase] = e["total"];
    EXPECT_TRUE(e["rate"].is_null() || e["rate"].get<double>() > 0) << e;
    EXPECT_TRUE(e["eta_s"].is_null() || e["eta_s"].get<double>() >= 0) << e;
  }
  EXPECT_EQ(phases, (std::vector<std::string>{"loader", "firmware"}));
  for (const auto& [phase, seen] : bytes) {
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << phase;
    EXPECT_EQ(seen.front(), 0) << phase;
    EXPECT_EQ(seen.back(), totals[phase]) << phase;
  }
  EXPECT_EQ(totals["firmware"], 60002);
  EXPECT_EQ(totals["loader"], static_cast<int64_t>(ReadFile(tmp / "b.s19").size()));

  // The indicator was found on Com4 at 9600, then the rate went up.
  std::vector<int> bauds;
  for (const auto& e : events) {
    if (e["event"] != "port") continue;
    EXPECT_EQ(e["name"], "Com4");
    EXPECT_EQ(e["device"], tmp / "ports/com4");
    bauds.push_back(e["baud"]);
  }
  EXPECT_EQ(bauds, (std::vector<int>{9600, 38400}));

  // The log events are the log file's lines, in order.
  const auto fileLines = apptest::SplitCrLf(LogFile());
  std::vector<std::string> logged;
  for (const auto& e : events) {
    if (e["event"] == "log") logged.push_back(e["text"]);
  }
  ASSERT_FALSE(logged.empty());
  ASSERT_LE(logged.size() + 1, fileLines.size());
  EXPECT_TRUE(std::equal(logged.begin(), logged.end(), fileLines.begin() + 1));

  // The result names the firmware sent: its path, its size and the CRC the indicator confirmed.
  const json& result = events.back();
  EXPECT_EQ(result["log_file"], tmp / (std::string("log/") + kLogName));
  EXPECT_EQ(result["firmware"]["source"], "fw.bin");
  EXPECT_EQ(result["firmware"]["size"], 60002);
  const std::string log = LogFile();
  const size_t crcAt = log.find("Send out crc is: ");
  ASSERT_NE(crcAt, std::string::npos);
  EXPECT_EQ(result["firmware"]["crc16"], std::stoi(log.substr(crcAt + 17)));
  EXPECT_NE(log.find("Firmware to send: fw.bin, 60002 bytes, CRC-16 0x"), std::string::npos);
  // And the SHA-256 of each file, as the release notes give it.
  for (auto [which, file] : {std::pair{"firmware", "fw.bin"}, {"loader", "b.s19"}}) {
    EXPECT_EQ(result[which]["sha256"], testing_support::Sha256sum(tmp / file)) << which;
    EXPECT_EQ(result[which]["sha256_recorded"], false) << which;
  }

  // The human text went to the error stream.
  EXPECT_NE(updater->Err().find("Sending Load Program"), std::string::npos);
  EXPECT_NE(updater->Err().find("Firmware: fw.bin, 60002 bytes"), std::string::npos);
}

// Against an indicator that takes the loader at the line's rate (9.7 KB at 38400: 2.5 s), the loader's
// progress is reported while it is sent, not all at once when the whole text has gone into the port.
// A port named by a path, as a stable by-id link to the adapter is: the update goes there, and the port
// event carries the name as given.
TEST_F(JsonProcessTest, APortNamedByItsPathIsUpdatedOnAndReportedByThatName) {
  auto sim = testing_support::StartIndicator(SIM_PATH, tmp, "sim", {"--exit-after-update"});
  const std::filesystem::path device = std::filesystem::read_symlink(tmp / "ports/sim");
  std::filesystem::create_directories(tmp / "serial/by-id");
  const std::string byId = tmp / "serial/by-id/usb-Maker_Scale_Cable_A1-if00-port0";
  std::filesystem::create_symlink(device, byId);
  auto updater = Updater({"/i", "fw.bin", "b.s19", "/p", byId});
  const int code = updater->Wait(90s);
  EXPECT_EQ(code, 0) << updater->Err();
  EXPECT_EQ(sim->Wait(10s), 0);
  EXPECT_TRUE(ReadFile(tmp / "image.bin") == ReadFile(tmp / "fw.bin"));
  const auto events = ParseLines(updater->Out());
  ExpectResultLast(events, code);
  std::vector<int> bauds;
  for (const auto& e : events) {
    if (e["event"] != "port") continue;
    EXPECT_EQ(e["name"], byId);
    EXPECT_EQ(e["device"], byId);
    bauds.push_back(e["baud"]);
  }
  EXPECT_EQ(bauds, (std::vector<int>{9600, 38400}));
  EXPECT_NE(LogFile().find("Sending {ZA1} at 9600 baud rate on " + byId + ". Timeout set to 1000"),
            std::string::npos);
}

TEST_F(JsonProcessTest, TheLoaderProgressFollowsAPacedLine) {
  WriteFile(tmp / "small.bin", apptest::FirmwareImage(3002));
  WriteFile(tmp / "big.s19", apptest::LoaderText(4096));
  auto sim = Indicator({"--pace", "--exit-after-update"});
  auto updater = Updater({"/i", "small.bin", "big.s19"});
  const int code = updater->Wait(60s);
  EXPECT_EQ(code, 0) << updater->Err();
  const auto events = ParseLines(updater->Out());
  ExpectResultLast(events, code);
  std::vector<json> loader;
  for (const auto& e : events) {
    if (e["event"] == "progress" && e["phase"] == "loader") loader.push_back(e);
  }
  ASSERT_GE(loader.size(), 2u) << updater->Out();
  const int64_t total = loader.back()["total"];
  EXPECT_EQ(total, static_cast<int64_t>(ReadFile(tmp / "big.s19").size()));
  EXPECT_EQ(loader.back()["bytes"], total);
  // Counts between the first and the last come at most every 250 ms: more than one of them shows the
  // upload spread over time, and the last, over a second after the first, has a rate.
  const auto between = std::count_if(loader.begin(), loader.end(),
                                     [&](const json& e) { return e["bytes"] > 0 && e["bytes"] < total; });
  EXPECT_GE(between, 2) << updater->Out();
  EXPECT_TRUE(loader.back()["rate"].is_number()) << loader.back();
}

// Runs that end without an update: each still ends with its one result, matching the exit code.
TEST_F(JsonProcessTest, RunsWithoutAnUpdateEndWithTheResultToo) {
  struct Case {
    const char* what;
    bool indicator;                 // a silent indicator on Com4
    std::vector<std::string> args;  // after the program
    int signal;                     // sent once the updater has reported `waitFor`, 0: none
    const char* waitFor;
    bool firmwareNamed;
    int code;
    const char* event;        // an event the output must hold
    const char* reason = "";  // the beginning of the result's reason: a start refused before any port opens
    const char* outcome = "";
    std::vector<std::string> sim = {"--silent"};  // the indicator's options
  };
  WriteFile(tmp / "empty.bin", "");
  WriteFile(tmp / "notes.s19", "S107100001020304DF\r\n");
  const Case cases[] = {
      {"no port at all, then SIGINT",
       false,
       {"/i", "fw.bin", "b.s19"},
       SIGINT,
       "\"code\":3",
       true,
       1,
       "error"},
      {"a silent indicator, then SIGTERM",
       true,
       {"/i", "fw.bin", "b.s19"},
       SIGTERM,
       "\"code\":1",
       true,
       1,
       "error"},
      {"a missing firmware file",
       false,
       {"/i", "missing.bin", "b.s19"},
       0,
       "",
       false,
       2,
       "message",
       "Can not open firmware file: missing.bin: No such file or directory",
       "refused"},
      {"a build", false, {"/l", "b.s19"}, 0, "", false, 0, "built"},
      {"an empty firmware",
       true,
       {"/i", "empty.bin", "b.s19"},
       0,
       "",
       false,
       2,
       "message",
       "The firmware file empty.bin is empty: there is no firmware to send"},
      {"a loader with a bad checksum",
       true,
       {"/i", "fw.bin", "notes.s19"},
       0,
       "",
       false,
       2,
       "message",
       "The loader file notes.s19 is not S-record text (line 1: checksum DF, the record's bytes give DE)"},
      {"the same loader built into a copy",
       false,
       {"/u", "N", "fw.bin", "/l", "notes.s19"},
       0,
       "",
       false,
       2,
       "message",
       "The loader file notes.s19 is not S-record text"},
      // A bounded run ends by itself, with its reason and the exit code that tells it.
      {"--timeout, no port at all",
       false,
       {"--timeout", "2", "/i", "fw.bin", "b.s19"},
       0,
       "",
       true,
       3,
       "error",
       "no indicator answered within 2 s",
       "timed_out"},
      {"--timeout, a silent indicator",
       true,
       {"--timeout=2", "/i", "fw.bin", "b.s19"},
       0,
       "",
       true,
       3,
       "status",
       "no indicator answered within 2 s",
       "timed_out"},
      {"--timeout, the firmware refused",
       true,
       {"/i", "fw.bin", "b.s19", "--timeout", "2"},
       0,
       "",
       true,
       4,
       "error",
       "error 4: The indicator type and the software to update is not a match.",
       "firmware_refused",
       {"--flash-size", "1024"}},
      {"no space",
       true,
       {"/i", "fw.bin", "b.s19"},
       0,
       "",
       true,
       4,
       "message",
       "This indicator does not have enough space",
       "firmware_refused",
       {"--ft", "9300"}},
      {"SIGINT in the erase",
       true,
       {"/i", "fw.bin", "b.s19"},
       SIGINT,
       "Erasing firmware",
       true,
       1,
       "notice",
       "stopped during the update; the indicator waits in its boot loader",
       "stopped",
       {"--erase-ms", "20000"}},
      {"a bad --timeout",
       false,
       {"--timeout", "soon"},
       0,
       "",
       false,
       2,
       "message",
       "--timeout needs whole seconds from 1 to 86400, not \"soon\"",
       "refused"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<Process> sim;
    if (c.indicator) sim = Indicator(c.sim);
    auto updater = Updater(c.args);
    if (c.signal) {
      ASSERT_TRUE(WaitUntil([&] { return updater->Out().find(c.waitFor) != std::string::npos; }, 60s))
          << updater->Out();
      updater->Signal(c.signal);
    }
    const int code = updater->Wait(30s);
    EXPECT_EQ(code, c.code) << updater->Err();
    const auto events = ParseLines(updater->Out());
    ExpectResultLast(events, code);
    EXPECT_EQ(events.back()["firmware"].is_object(), c.firmwareNamed) << events.back();
    EXPECT_TRUE(events.back()["log_file"].is_string()) << events.back();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const json& e) {
      return e["event"] == c.event;
    })) << updater->Out();
    const std::string reason = events.back().value("reason", "");
    EXPECT_EQ(reason.substr(0, std::strlen(c.reason)), c.reason) << events.back();
    if (*c.outcome) {
      EXPECT_EQ(events.back().value("outcome", ""), c.outcome) << events.back();
    }
    EXPECT_EQ(events.back().value("interrupted", false), c.signal != 0) << events.back();
    if (c.code == 2) {
      EXPECT_EQ(LogFile().find("Sending"), std::string::npos) << "a port was opened";
    }
    EXPECT_FALSE(std::filesystem::exists(tmp / "N.exe"));
    sim.reset();
    std::filesystem::remove(tmp / "ports/com4");  // a killed simulator leaves its link
    std::filesystem::remove_all(tmp / "log");
  }
}

// What an indicator answers when it is only asked, and the proof (its transcript) that nothing was sent that
// changes it: no rate change, no boot loader, no loader, no erase.
void ExpectNothingChanged(const std::string& transcript) {
  for (const char* changes : {"{SEBX", "{SEHA", "{PM}", "U ->", "U after", "-> T", "records", "rate now"}) {
    EXPECT_EQ(transcript.find(changes), std::string::npos) << changes << " in\n" << transcript;
  }
}

TEST_F(JsonProcessTest, ACheckGivesEveryVerdictAndChangesNothing) {
  struct Case {
    const char* what;
    std::vector<std::string> sim;   // the indicator's options; empty: no indicator
    std::vector<std::string> args;  // after --check
    int code;
    const char* verdict;   // of the last check event ("" none) and the result
    const char* answered;  // an answer in the check event: command, then text
    const char* text;
  } const cases[] = {
      {"fits", {"--vc", "1.20"}, {"/i", "fw.bin"}, 0, "fits", "{FT}", "1200"},
      {"not a match", {"--flash-size", "1024"}, {"/i", "fw.bin"}, 4, "not_a_match", "{VFSH}", "1024"},
      {"no space", {"--ft", "9300"}, {"/i", "fw.bin", "b.s19"}, 4, "no_space", "{FT}", "9300"},
      {"heap out of range",
       {"--vc", "2.10", "--heap", "F9"},
       {"/i", "fw.bin"},
       4,
       "heap_out_of_range",
       "{PS420004,424FFF}",
       "F9"},
      {"heap without space",
       {"--vc", "2.10", "--heap", "14"},
       {"/i", "fw.bin"},
       4,
       "no_space",
       "{VC}",
       "2.10"},
      {"no firmware given", {"--vw", "3.00", "--heap", "424000"}, {}, 0, "fit_not_checked", "{VW}", "3.00"},
      {"a Bluetooth port", {"--bluetooth"}, {"/i", "fw.bin"}, 3, "bluetooth", "{SCPC}", "2"},
      // A model without {VFSH}: the check goes on as the update does; one that goes quiet after {ZA1} ends.
      {"no firmware, {VFSH} never answered",
       {"--answer-after", "100:{VFSH}"},
       {},
       0,
       "fit_not_checked",
       "{FT}",
       "1200"},
      {"quiet after {ZA1}", {"--answer-after", "100:{SCPC}"}, {"/i", "fw.bin"}, 3, "", "", ""},
      // In its boot loader it answers no command; "U" would erase it.
      {"in its boot loader", {"--boot"}, {"/i", "fw.bin", "/b"}, 3, "", "", ""},
      {"no port", {}, {"/i", "fw.bin"}, 3, "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(tmp / "sim.txt");
    std::unique_ptr<Process> sim;
    if (!c.sim.empty()) sim = Indicator(c.sim);
    std::vector<std::string> args = {"--check"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto updater = Updater(args);
    EXPECT_EQ(updater->Wait(60s), c.code) << updater->Err();
    const auto events = ParseLines(updater->Out());
    ExpectResultLast(events, c.code);
    const json* check = nullptr;
    for (const json& e : events) check = e["event"] == "check" ? &e : check;
    if (*c.verdict) {
      ASSERT_NE(check, nullptr) << updater->Out();
      EXPECT_EQ((*check)["verdict"], c.verdict) << *check;
      EXPECT_EQ((*check)["name"], "Com4");
      EXPECT_EQ((*check)["answers"].value(c.answered, ""), c.text) << *check;
      EXPECT_NE(updater->Err().find("Check: Com4"), std::string::npos) << updater->Err();
    } else {
      EXPECT_EQ(check, nullptr) << updater->Out();
    }
    EXPECT_EQ(events.back().value("outcome", ""), c.code == 3 ? "no_indicator" : "checked") << events.back();
    sim.reset();
    std::filesystem::remove(tmp / "ports/com4");  // a killed simulator leaves its link
    if (!c.sim.empty()) ExpectNothingChanged(ReadFile(tmp / "sim.txt"));
  }
}

// An inventory of the bench: each indicator its own answers and verdict, the batch's line last.
TEST_F(JsonProcessTest, ACheckOfEveryPortListsEachIndicator) {
  const std::vector<std::vector<std::string>> answers = {
      {}, {"--ft", "9300"}, {"--flash-size", "1024"}, {"--vc", "2.10", "--vw", "1.50"}};
  std::vector<std::unique_ptr<Process>> sims;
  for (size_t i = 0; i < answers.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    std::vector<std::string> extra = answers[i];
    extra.insert(extra.end(), {"--transcript", tmp / ("sim" + n + ".txt")});
    sims.push_back(testing_support::StartIndicator(SIM_PATH, tmp, "com" + n, extra));
  }
  auto updater = Updater({"--check", "/all", "/i", "fw.bin"});
  EXPECT_EQ(updater->Wait(60s), 4) << updater->Err();
  const auto events = ParseLines(updater->Out());
  std::map<std::string, std::string> verdicts;
  for (const json& e : events) {
    if (e["event"] == "result" && e["outcome"] == "checked") verdicts[e["port"]] = e["verdict"];
  }
  const std::map<std::string, std::string> expected = {
      {"Com1", "fits"}, {"Com2", "no_space"}, {"Com3", "not_a_match"}, {"Com4", "fits"}};
  EXPECT_EQ(verdicts, expected) << updater->Out();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back()["event"], "batch");
  EXPECT_EQ(events.back()["checked"].size(), 4u) << events.back();
  EXPECT_EQ(events.back()["exit_code"], 4);
  sims.clear();
  for (size_t i = 1; i <= answers.size(); ++i) {
    ExpectNothingChanged(ReadFile(tmp / ("sim" + std::to_string(i) + ".txt")));
  }
}

}  // namespace
