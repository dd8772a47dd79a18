// Batch mode (/all): the real brae-update updates every simulated indicator it finds, each on its own port,
// and reports each port's result and the batch's in JSON lines. A port's trouble stays that port's: the
// others go on, and the exit code says whether every indicator found was updated.
#include <nlohmann/json.hpp>

#include <csignal>
#include <map>
#include <sstream>
#include <thread>

#include "tests/faults/fault_harness.h"

namespace faults {
namespace {

using nlohmann::json;
using testing_support::FirmwareImage;
using testing_support::LoaderText;
using testing_support::WaitUntil;

class Batch : public FaultCase {
 protected:
  Batch() {
    WriteFile(tmp / "fw.bin", firmware);
    WriteFile(tmp / "ld.s19", loader);
  }

  // A simulated indicator on ComN, confirming into imageN.bin; `exitAfter` ends it once it has confirmed.
  void Sim(int n, std::vector<std::string> extra = {}, bool exitAfter = true) {
    const std::string id = std::to_string(n);
    const std::string link = tmp / ("ports/com" + id);
    std::vector<std::string> args = {SIM_PATH,
                                     "--link",
                                     link,
                                     "--image-out",
                                     tmp / ("image" + id + ".bin"),
                                     "--timeout",
                                     "120000",
                                     "--transcript",
                                     tmp / ("sim" + id + ".txt")};
    if (exitAfter) args.push_back("--exit-after-update");
    args.insert(args.end(), extra.begin(), extra.end());
    sims.push_back(std::make_unique<Process>(args, Env{}, tmp.path, tmp / ("sim" + id + "-out.txt"),
                                             tmp / ("sim" + id + "-err.txt")));
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::is_symlink(link); }, 5s)) << link;
  }

  std::unique_ptr<Process> Json(std::vector<std::string> args, const std::string& name = "updater") {
    return Updater(std::move(args), BRAE_UPDATE, {{"BRAE_CONSOLE", "json"}}, name);
  }

  // The JSON lines of an output, every one parsed (a line that is no JSON fails the test).
  static std::vector<json> Lines(const std::string& out) {
    std::vector<json> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
      if (line.empty()) continue;
      try {
        lines.push_back(json::parse(line));
      } catch (const std::exception& e) {
        ADD_FAILURE() << "not JSON: " << line;
      }
    }
    return lines;
  }

  // Each port's result event, by port; a second result for a port fails the test.
  static std::map<std::string, json> Results(const std::vector<json>& lines) {
    std::map<std::string, json> results;
    for (const json& j : lines) {
      if (j.value("event", "") != "result") continue;
      EXPECT_TRUE(j.contains("port")) << j.dump();
      EXPECT_EQ(results.count(j.value("port", "")), 0u) << "two results for " << j.dump();
      results[j.value("port", "")] = j;
    }
    return results;
  }

  // The batch line: the last line, and the only one.
  static json BatchLine(const std::vector<json>& lines) {
    int count = 0;
    for (const json& j : lines) count += j.value("event", "") == "batch";
    EXPECT_EQ(count, 1);
    if (lines.empty() || lines.back().value("event", "") != "batch") {
      ADD_FAILURE() << "the batch line is not the last";
      return json::object();
    }
    return lines.back();
  }

  static std::vector<std::string> Ports(const json& list) {
    std::vector<std::string> ports;
    for (const json& p : list) ports.push_back(p.value("port", ""));
    std::sort(ports.begin(), ports.end());
    return ports;
  }

  void ExpectImage(int n) {
    const std::string image = ReadFile(tmp / ("image" + std::to_string(n) + ".bin"));
    EXPECT_TRUE(image == firmware) << "Com" << n << ": the confirmed image differs (" << image.size()
                                   << " bytes)";
  }

  std::string PortLog(const std::string& port) {
    return ReadFile(tmp / ("log/VeltronaUpdateBraeError." + port + ".TXT"));
  }

  const std::string firmware = FirmwareImage(12002, 31);
  const std::string loader = LoaderText(1024);
  std::vector<std::unique_ptr<Process>> sims;
};

TEST_F(Batch, EveryIndicatorFoundIsUpdatedOnItsOwnPort) {
  struct Port {
    int n;
    std::vector<std::string> sim;  // empty name list: no simulator on that port
    const char* outcome;
  };
  const std::string vanishMidImage = std::to_string(loader.size() + 40 + 5000) + ":1500";
  struct Case {
    const char* name;
    std::vector<Port> ports;
    std::vector<std::string> options;  // besides /all /i fw.bin ld.s19
    int exitCode;
    size_t skipped;  // ports of the list without a device
  } const cases[] = {
      {"eight indicators, the default list",
       {{1, {}, "updated"},
        {2, {}, "updated"},
        {3, {}, "updated"},
        {4, {}, "updated"},
        {5, {}, "updated"},
        {6, {}, "updated"},
        {7, {}, "updated"},
        {8, {}, "updated"}},
       {},
       0,
       17},
      {"one silent, one unplugged mid-image and back",
       {{1, {}, "updated"},
        {2, {}, "updated"},
        {3, {}, "updated"},
        {4, {"--silent"}, "no_indicator"},
        {5, {}, "updated"},
        {6, {"--vanish-after", vanishMidImage}, "updated"},
        {7, {}, "updated"},
        {8, {}, "updated"}},
       {},
       1,
       17},
      {"mixed rates, named ports",
       {{1, {"--rate", "38400"}, "updated"},
        {2, {"--answer-after", "1000:{SEBX38400}"}, "updated"},
        {3, {}, "updated"}},
       // Com2 twice and Com3 in three spellings: each port once, with one log file.
       {"/p", "Com1", "/p", "Com2", "/p", "Com3", "/p", "Com2", "/p", "com3", "/p", "\\\\.\\COM3"},
       0,
       0},
      // Before the mend the run never ended: the held line kept Com1's engine, and the batch, for good.
      {"a device holding XOFF from the start, beside an indicator",
       {{1, {"--silent", "--stuck-xoff", "1"}, "no_indicator"}, {2, {}, "updated"}},
       {"/p", "Com1", "/p", "Com2"},
       1,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sims.clear();
    std::filesystem::remove_all(tmp / "log");
    for (const Port& p : c.ports) {
      std::filesystem::remove(tmp / ("image" + std::to_string(p.n) + ".bin"));
      Sim(p.n, p.sim, p.sim.empty() || p.sim[0] != "--silent");
    }
    std::vector<std::string> args = {"/all", "/i", "fw.bin", "ld.s19"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    auto updater = Json(args);
    EXPECT_EQ(updater->Wait(120s), c.exitCode) << updater->Err();
    const std::vector<json> lines = Lines(updater->Out());
    const std::map<std::string, json> results = Results(lines);
    const json batch = BatchLine(lines);
    EXPECT_EQ(batch.value("ok", true), c.exitCode == 0);
    EXPECT_EQ(results.size(), c.ports.size() + c.skipped);
    EXPECT_EQ(batch["skipped"].size(), c.skipped);
    for (const Port& p : c.ports) {
      const std::string port = "Com" + std::to_string(p.n);
      SCOPED_TRACE(port);
      ASSERT_EQ(results.count(port), 1u);
      EXPECT_EQ(results.at(port).value("outcome", ""), p.outcome) << results.at(port).dump();
      if (std::string(p.outcome) == "updated") ExpectImage(p.n);
      const std::string log = PortLog(port);
      EXPECT_NE(log, "") << "no log file for " << port;
      // The run's copy in the history folder beside it, named with the port, is the same, once.
      std::vector<std::string> kept;
      for (const auto& f : std::filesystem::directory_iterator(tmp / "log/history")) {
        if (f.path().filename().string().find("." + port + ".TXT") != std::string::npos)
          kept.push_back(ReadFile(f.path()));
      }
      EXPECT_EQ(kept, std::vector<std::string>{log});
      // What this port's transfers lost, once, after its close: nothing to the close (a held line's bytes
      // dropped before any indicator answered count as a time-out's).
      const size_t cut = log.find("Serial transfers cut short: ");
      ASSERT_NE(cut, std::string::npos) << log;
      EXPECT_NE(log.find(" on a time-out, 0 by closing the port", cut), std::string::npos) << log;
      EXPECT_EQ(log.find("Serial transfers cut short", cut + 1), std::string::npos) << log;
    }
    // A port of the default list with no device behind it leaves no log file of its own.
    if (c.skipped > 0) {
      EXPECT_FALSE(Exists("log/VeltronaUpdateBraeError.Com9.TXT"));
    }
    // Every event of a port carries it.
    for (const json& j : lines) {
      const std::string event = j.value("event", "");
      if (event == "progress" || event == "port" || event == "error") {
        EXPECT_TRUE(j.contains("port")) << j.dump();
      }
    }
    std::vector<std::string> silent;
    for (const Port& p : c.ports) {
      if (std::string(p.outcome) == "no_indicator") silent.push_back("Com" + std::to_string(p.n));
    }
    EXPECT_EQ(Ports(batch["no_indicator"]), silent);
    if (c.exitCode == 1 && c.ports.size() > 6) {
      EXPECT_NE(PortLog("Com6").find("is back after"), std::string::npos) << PortLog("Com6");
    }
    if (c.options.size() > 4) {
      EXPECT_EQ(results.at("Com1").value("baud", 0), 38400);
      EXPECT_EQ(results.at("Com2").value("baud", 0), 9600);
      EXPECT_EQ(results.at("Com3").value("baud", 0), 38400);
    }
  }
}

TEST_F(Batch, APortTheBatchHoldsIsTakenByNoOtherProgram) {
  // A paced indicator keeps the first batch on Com1 for seconds.
  Sim(1, {"--pace"});
  auto first = Json({"/all", "/p", "Com1", "/i", "fw.bin", "ld.s19"}, "first");
  ASSERT_TRUE(WaitUntil([&] { return first->Out().find("Sending Load Program") != std::string::npos; }, 20s))
      << first->Out() << first->Err();
  auto second = Json({"/all", "/p", "Com1", "/i", "fw.bin", "ld.s19"}, "second");
  EXPECT_EQ(second->Wait(20s), 3);  // no indicator answered the second batch
  const std::map<std::string, json> results = Results(Lines(second->Out()));
  ASSERT_EQ(results.count("Com1"), 1u);
  EXPECT_EQ(results.at("Com1").value("outcome", ""), "skipped");
  EXPECT_NE(results.at("Com1").value("reason", "").find("Com1 did not open"), std::string::npos);
  EXPECT_EQ(first->Wait(60s), 0) << first->Err();
  ExpectImage(1);
}

TEST_F(Batch, SigtermEndsEveryPortWithItsResultAndTheBatchLast) {
  for (int n = 1; n <= 3; ++n) Sim(n, {"--pace"}, false);
  auto updater =
      Json({"/all", "/p", "Com1", "/p", "Com2", "/p", "Com3", "/p", "Com4", "/i", "fw.bin", "ld.s19"});
  // Every port in its loader upload, which the paced line keeps going for seconds.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::string out = updater->Out();
        for (const char* port : {"Com1", "Com2", "Com3"}) {
          if (out.find(std::string("\"port\":\"") + port + "\",\"text\":\"Sending Load Program") ==
              std::string::npos) {
            return false;
          }
        }
        return true;
      },
      30s))
      << updater->Out();
  const auto start = std::chrono::steady_clock::now();
  updater->Signal(SIGTERM);
  EXPECT_EQ(updater->Wait(5s), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  const std::vector<json> lines = Lines(updater->Out());
  const std::map<std::string, json> results = Results(lines);
  EXPECT_EQ(results.size(), 4u);
  for (const char* port : {"Com1", "Com2", "Com3"}) {
    ASSERT_EQ(results.count(port), 1u) << port;
    EXPECT_EQ(results.at(port).value("outcome", ""), "failed") << results.at(port).dump();
    EXPECT_NE(PortLog(port).find("Sending S19 loader"), std::string::npos) << port;
  }
  const json batch = BatchLine(lines);
  EXPECT_FALSE(batch.value("ok", true));
  EXPECT_EQ(Ports(batch["failed"]), (std::vector<std::string>{"Com1", "Com2", "Com3"}));
  EXPECT_EQ(Ports(batch["skipped"]), std::vector<std::string>{"Com4"});
}

}  // namespace
}  // namespace faults
