// The JSON lines for programs: the escaper read back by a real JSON parser (tables of awkward bytes and a
// random fuzz), the events the JSON view writes for what the controller reports, and the measure of a
// payload that names it in the log.
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>

#include "app/core/Json.h"
#include "app/core/JsonView.h"
#include "app/core/UpdateController.h"
#include "engine/Payloads.h"
#include "engine/Protocol.h"

namespace {

using nlohmann::json;

// The string a parser reads back from the escaper's output.
std::string RoundTrip(const std::string& text) {
  return json::parse(app::JsonString(text)).get<std::string>();
}

// What the escaper must turn each byte into when it is not part of valid UTF-8: the Latin-1 character.
std::string Latin1(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

TEST(JsonString, ControlCharactersQuotesAndBackslashesAreEscaped) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\r\n\t", R"("\r\n\t")"},
      {std::string("a\0b", 3), R"("a\u0000b")"},
      {"\x01\x1f\x7f", R"("\u0001\u001f\u007f")"},
      {"\b\f", R"("\u0008\u000c")"},
      {"/ stays", R"("/ stays")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(app::JsonString(c.in), c.out);
    EXPECT_EQ(RoundTrip(c.in), c.in);
  }
}

TEST(JsonString, ValidUtf8PassesAndEveryOtherByteIsItsLatin1Character) {
  struct Case {
    const char* what;
    std::string in;
    std::string readBack;
  };
  const Case cases[] = {
      {"two-byte", "\xC3\xA9", "\xC3\xA9"},
      {"three-byte", "\xE2\x82\xAC", "\xE2\x82\xAC"},
      {"four-byte", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"highest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      {"stray continuation", "\x80", Latin1("\x80")},
      {"8-bit text from the device",
       "\xB0"
       "C",
       Latin1("\xB0"
              "C")},
      {"overlong slash", "\xC0\xAF", Latin1("\xC0\xAF")},
      {"overlong three-byte", "\xE0\x80\xAF", Latin1("\xE0\x80\xAF")},
      {"surrogate", "\xED\xA0\x80", Latin1("\xED\xA0\x80")},
      {"above U+10FFFF", "\xF4\x90\x80\x80", Latin1("\xF4\x90\x80\x80")},
      {"F5 never starts", "\xF5\x80\x80\x80", Latin1("\xF5\x80\x80\x80")},
      {"cut off at the end", "ok\xE2\x82", "ok" + Latin1("\xE2\x82")},
      {"cut off by ASCII",
       "\xE2"
       "A\xAC",
       Latin1("\xE2") + "A" + Latin1("\xAC")},
      {"0xFF", "\xFF\xFE", Latin1("\xFF\xFE")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RoundTrip(c.in), c.readBack) << c.what;
  }
}

TEST(JsonString, RandomBytesAlwaysParseAndValidTextComesBackUnchanged) {
  std::mt19937 rng(20261208);
  // Bytes drawn mostly from the awkward ranges: controls, the quote and backslash, and the UTF-8 lead and
  // continuation bytes, so that broken and whole sequences both occur often.
  const std::string alphabet = std::string(
      "\x00\x01\x1f\"\\\x7f"
      "a\x80\xbf\xc2\xdf\xe0\xed\xef\xf0\xf4\xf5\xff",
      19);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> any(0, 255);
  std::uniform_int_distribution<int> length(0, 24);
  for (int round = 0; round < 20000; ++round) {
    std::string s;
    const int n = length(rng);
    for (int i = 0; i < n; ++i) s.push_back(round % 2 ? alphabet[pick(rng)] : static_cast<char>(any(rng)));
    const std::string text = app::JsonString(s);
    json parsed;
    ASSERT_NO_THROW(parsed = json::parse(text)) << text;
    const std::string back = parsed.get<std::string>();
    // The escaper's output is pure UTF-8 and never holds a raw control character.
    for (unsigned char c : text) ASSERT_GE(c, 0x20) << text;
    // Whatever came out, the bytes that were valid UTF-8 are the same code points: a string that was valid as
    // a whole comes back byte for byte.
    bool valid = true;
    try {
      (void)json(s).dump();
    } catch (const json::type_error&) {
      valid = false;
    }
    if (valid) {
      ASSERT_EQ(back, s);
    }
  }
}

TEST(JsonObject, NumbersThatAreNotFiniteAndNestedObjectsStayValid) {
  app::JsonObject inner;
  inner.Add("crc16", 0xBB3D);
  app::JsonObject o;
  o.Add("big", uint32_t{4000000000u}).Add("rate", 3840.5).Add("nan", std::nan("")).Add("inf", 1.0 / 0.0);
  o.Add("none", static_cast<const char*>(nullptr)).Add("inner", inner).Add("k\"ey\x01", true);
  EXPECT_EQ(json::parse(o.Text()), json::parse(R"({"big":4000000000,"rate":3840.5,"nan":null,"inf":null,
      "none":null,"inner":{"crc16":47933},"k\"ey\u0001":true})"));
  EXPECT_EQ(app::JsonObject().Text(), "{}");
}

// ---- The view

class JsonViewTest : public ::testing::Test {
 protected:
  JsonViewTest() { out_ = open_memstream(&buf_, &size_); }
  ~JsonViewTest() override {
    std::fclose(out_);
    std::free(buf_);
  }
  std::unique_ptr<app::JsonView> Make(bool log = false) {
    app::JsonView::Options o;
    o.Out = out_;
    o.Log = log;
    o.Clock = [this] { return now_; };
    o.Device = [](const std::string& name) { return "/dev/x/" + name; };
    o.OnEnd = [this](int code) { endCode_ = code; };
    return std::make_unique<app::JsonView>(o);
  }
  // Every line parsed; each must be one object with "v": 1.
  std::vector<json> Events() {
    std::fflush(out_);
    std::vector<json> events;
    const std::string text(buf_, size_);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      json j = json::parse(text.substr(start, end - start));
      EXPECT_TRUE(j.is_object());
      EXPECT_EQ(j["v"], 1);
      events.push_back(j);
    }
    EXPECT_EQ(start, text.size()) << "a line without its end";
    return events;
  }
  static std::vector<json> Of(const std::vector<json>& events, const std::string& kind) {
    std::vector<json> out;
    for (const auto& e : events) {
      if (e["event"] == kind) out.push_back(e);
    }
    return out;
  }

  uint64_t now_ = 1000;
  int endCode_ = -1;

 private:
  FILE* out_;
  char* buf_ = nullptr;
  size_t size_ = 0;
};

// What the controller reports for a loader and a firmware transfer, in its order.
TEST_F(JsonViewTest, ProgressAtMostEveryQuarterSecondWithTheFirstAndTheLastOfEachPhase) {
  auto v = Make();
  v->StatusChanged("Sending Load Program");
  v->ProgressVisibleChanged(true);
  v->ProgressMaxChanged(9784);
  for (int p = 0; p < 9784; p += 1000) {
    v->ProgressPositionChanged(p);
    now_ += 100;
  }
  v->ProgressPositionChanged(9784);  // the controller's last frame before the bar is hidden
  v->ProgressVisibleChanged(false);
  v->StatusChanged("Erasing firmware");
  v->ProgressPositionChanged(0);  // on "T", hidden
  v->ProgressPositionChanged(0);  // the transfer's start, still hidden
  v->ProgressVisibleChanged(true);
  v->ProgressMaxChanged(60002);
  v->StatusChanged("Sending new firmware. This will take approximately 3 minutes.");
  for (int p = 5000; p <= 60000; p += 5000) {
    now_ += 1300;
    v->ProgressPositionChanged(p);
  }
  v->ProgressPositionChanged(60002);  // success

  const auto progress = Of(Events(), "progress");
  std::vector<std::pair<std::string, int>> seen;
  for (const auto& e : progress) seen.emplace_back(e["phase"], e["bytes"]);
  const std::vector<std::pair<std::string, int>> expected = {
      {"loader", 0},       {"loader", 3000},    {"loader", 6000},    {"loader", 9000},    {"loader", 9784},
      {"firmware", 0},     {"firmware", 5000},  {"firmware", 10000}, {"firmware", 15000}, {"firmware", 20000},
      {"firmware", 25000}, {"firmware", 30000}, {"firmware", 35000}, {"firmware", 40000}, {"firmware", 45000},
      {"firmware", 50000}, {"firmware", 55000}, {"firmware", 60000}, {"firmware", 60002}};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(progress.front()["total"], 9784);
  EXPECT_TRUE(progress.front()["rate"].is_null());
  EXPECT_EQ(progress.back()["total"], 60002);
  EXPECT_EQ(progress.back()["eta_s"], 0.0);
  // 55000 bytes in 15.6 s after the start.
  const json& mid = progress[16];
  EXPECT_NEAR(mid["rate"].get<double>(), 55000 / 14.3, 1.0);
  EXPECT_NEAR(mid["eta_s"].get<double>(), 5002 / (55000 / 14.3), 0.2);
}

TEST_F(JsonViewTest, APortEventWhenTheIndicatorFirstAnswersAndWhenTheRateChanges) {
  auto v = Make();
  // The engine tells the port; the log lines alone are no port event, whatever they say.
  v->LogLinesAdded({"Sending {ZA1} at 9600 baud rate on COM4. Timeout set to 1000", "Received: ^ length: 1"});
  v->PortAnswering("Com4", "Com4", 9600);
  v->PortAnswering("Com4", "Com4", 38400);
  const auto ports = Of(Events(), "port");
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0],
            json::parse(R"({"v":1,"event":"port","name":"Com4","device":"/dev/x/Com4","baud":9600})"));
  EXPECT_EQ(ports[1]["baud"], 38400);
}

TEST_F(JsonViewTest, APortNamedByTheTechnicianKeepsItsNameAndTheDeviceItOpenedAs) {
  struct Case {
    const char* name;
    const char* device;
    const char* shownDevice;
  } const cases[] = {
      {"COM37", "Com37", "/dev/x/Com37"},
      {"\\\\.\\COM37", "Com37", "/dev/x/Com37"},
      {"/dev/serial/by-id/usb-Maker_A1-if00-port0", "/dev/serial/by-id/usb-Maker_A1-if00-port0",
       "/dev/x//dev/serial/by-id/usb-Maker_A1-if00-port0"},
      {"rfc2217://scale-7.plant:2001", "rfc2217://scale-7.plant:2001", "/dev/x/rfc2217://scale-7.plant:2001"},
  };
  auto v = Make();
  for (const Case& c : cases) v->PortAnswering(c.name, c.device, 9600);
  const auto ports = Of(Events(), "port");
  ASSERT_EQ(ports.size(), std::size(cases));
  for (size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(ports[i]["name"], cases[i].name);
    EXPECT_EQ(ports[i]["device"], cases[i].shownDevice);
    EXPECT_EQ(ports[i]["baud"], 9600);
  }
}

TEST_F(JsonViewTest, TheResultIsLastAndNothingFollowsIt) {
  auto v = Make(true);
  v->LogLinesAdded({"Received: \xB0\x01 length: 2"});
  v->MessageBox("No firmware file inside.\r\n", "Update Message--3.1c");
  v->ShowErrorMessage(2);
  v->LogFileDone({true, "/l/VeltronaUpdateBraeError.TXT", "", ""});
  const std::string digest = "37282c991c847e12211022f95b3b5949453f29c312b3fed369f592396a8fc128";
  app::PayloadReport fw{"/w/fw.bin", 60002, 0x0652, true, digest};
  v->PayloadsChosen(fw, {"embedded", 9784, 0x8288, true, "", false});
  v->EndProgram(1);
  v->LogLinesAdded({"a line logged while the engine stops"});
  v->StatusChanged("late");
  v->EndProgram(1);
  const auto events = Events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0]["text"], "Received: \xC2\xB0\x01 length: 2");
  EXPECT_EQ(events[1]["text"], "No firmware file inside.\n");
  EXPECT_EQ(events[2]["code"], 2);
  EXPECT_EQ(events[2]["text"],
            "Problem:\n\nIf problem persists, contact Veltrona Service.\n\nservice@veltrona.example");
  EXPECT_EQ(events[3], json::parse(R"({"v":1,"event":"result","ok":false,"exit_code":1,
      "log_file":"/l/VeltronaUpdateBraeError.TXT",
      "firmware":{"source":"/w/fw.bin","size":60002,"crc16":1618,"readable":true,
                  "sha256":"37282c991c847e12211022f95b3b5949453f29c312b3fed369f592396a8fc128",
                  "sha256_recorded":false},
      "loader":{"source":"embedded","size":9784,"crc16":33416,"readable":true,"sha256":null,
                "sha256_recorded":false}})"));
  EXPECT_EQ(endCode_, 1);
}

TEST_F(JsonViewTest, WithoutAnUpdateTheResultHasNoPayloadsAndLogLinesNeedAsking) {
  auto v = Make(false);
  v->LogLinesAdded({"Sending {ZA1} at 9600 baud rate on COM1. Timeout set to 1000"});
  v->EndProgram(0);
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["ok"], true);
  EXPECT_TRUE(events[0]["log_file"].is_null());
  EXPECT_TRUE(events[0]["firmware"].is_null());
}

// ---- Naming a payload

// A source that fails after some bytes, as a file that becomes unreadable does.
class FailingSource : public engine::IPayloadSource {
 public:
  void Rewind() override { given_ = 0; }
  int Read(uint8_t* out, int max) override {
    if (given_ >= 3) throw std::runtime_error("read error");
    const int n = std::min(max, 3 - given_);
    for (int i = 0; i < n; ++i) out[i] = static_cast<uint8_t>('1' + given_ + i);
    given_ += n;
    return n;
  }

 private:
  int given_ = 0;
};

TEST(MeasurePayload, SizeAndCrcOfWhatTheTransferSends) {
  const std::string digits = "123456789";
  struct Case {
    const char* what;
    uint32_t limit;
    uint32_t padTo;
    std::string sent;
  };
  const Case cases[] = {
      {"whole", UINT32_MAX, 0, digits},
      {"cut at the announced size", 4, 4, "1234"},
      {"padded with the erased value", 11, 11, digits + "\xFF\xFF"},
      {"nothing", 0, 0, ""},
  };
  for (const auto& c : cases) {
    engine::BufferPayload source(reinterpret_cast<const uint8_t*>(digits.data()), digits.size());
    const app::PayloadReport r = app::MeasurePayload(source, "embedded", c.limit, c.padTo);
    EXPECT_TRUE(r.Readable) << c.what;
    EXPECT_EQ(r.Size, c.sent.size()) << c.what;
    EXPECT_EQ(r.Crc16, engine::Crc16(reinterpret_cast<const uint8_t*>(c.sent.data()), c.sent.size()))
        << c.what;
    // Left at its start for the transfer.
    uint8_t first = 0;
    EXPECT_EQ(source.Read(&first, 1), 1);
    EXPECT_EQ(first, '1') << c.what;
  }
  // The digest: 16 digits on screen, as many as asked in the log; an embedded payload without a recorded one
  // says so.
  const std::string sha = "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225";
  const struct {
    app::PayloadReport report;
    size_t digits;
    std::string text;
  } texts[] = {
      {{"embedded", 9, 0xBB3D, true}, 16, "embedded, 9 bytes, CRC-16 0xBB3D"},
      {{"embedded", 9, 0xBB3D, true, sha, true},
       16,
       "embedded, 9 bytes, CRC-16 0xBB3D, SHA-256 15e2b0d3c33891eb"},
      {{"embedded", 9, 0xBB3D, true, sha, false},
       16,
       "embedded, 9 bytes, CRC-16 0xBB3D, SHA-256 15e2b0d3c33891eb (no digest recorded)"},
      {{"/f.bin", 9, 0xBB3D, true, sha, false}, 64, "/f.bin, 9 bytes, CRC-16 0xBB3D, SHA-256 " + sha},
  };
  for (const auto& t : texts) EXPECT_EQ(app::PayloadText(t.report, t.digits), t.text);

  // A file that fails after three bytes: what was read, padded, and said to be unreadable.
  FailingSource failing;
  const app::PayloadReport r = app::MeasurePayload(failing, "/f", 10, 10);
  const std::string sent = "123" + std::string(7, '\xFF');
  EXPECT_EQ(r.Crc16, engine::Crc16(reinterpret_cast<const uint8_t*>(sent.data()), sent.size()));
  EXPECT_FALSE(r.Readable);
  const std::string text = app::PayloadText(r);
  EXPECT_EQ(text.substr(text.size() - 12), ", unreadable");
}

}  // namespace

TEST_F(JsonViewTest, ABatchGivesEachPortsEventsItsNameAResultEachAndTheBatchLast) {
  auto v = Make();
  app::IPortView* com1 = v->PortAdded(0, "Com1");
  app::IPortView* com2 = v->PortAdded(1, "/dev/ttyUSB0");
  com1->PortAnswering("Com1", "Com1", 38400);
  com1->StatusChanged("Sending new firmware. This will take approximately 3 minutes.");
  com1->ProgressVisibleChanged(true);
  com1->ProgressMaxChanged(2000);
  com2->ErrorChanged(2);
  com2->ErrorChanged(0);  // hidden again: no event
  app::PortResult updated{"Com1", "/dev/x/com1", app::PortOutcome::Updated};
  updated.Baud = 38400;
  updated.LogFile = "/l/a.TXT";
  app::PortResult silent{"/dev/ttyUSB0", "/dev/ttyUSB0", app::PortOutcome::NoIndicator, 0, "", "nobody"};
  com1->Ended(updated);
  com2->Ended(silent);
  v->BatchEnded(
      {{updated, silent, {"Com9", "", app::PortOutcome::Skipped, 0, "", "did not open"}}, false, 12.34});
  v->EndProgram(1);
  const std::vector<json> events = Events();
  for (const auto& e : events) EXPECT_TRUE(e.contains("port") || e["event"] == "batch") << e.dump();
  const std::vector<json> results = Of(events, "result");
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0]["port"], "Com1");
  EXPECT_EQ(results[0]["outcome"], "updated");
  EXPECT_EQ(results[0]["baud"], 38400);
  EXPECT_EQ(results[0]["log_file"], "/l/a.TXT");
  EXPECT_EQ(results[1]["port"], "/dev/ttyUSB0");
  EXPECT_EQ(results[1]["ok"], false);
  EXPECT_TRUE(results[1]["baud"].is_null());
  EXPECT_EQ(Of(events, "error").size(), 1u);
  const json& batch = events.back();
  ASSERT_EQ(batch["event"], "batch");
  EXPECT_EQ(batch["ok"], false);
  EXPECT_EQ(batch["exit_code"], 1);
  EXPECT_DOUBLE_EQ(batch["seconds"].get<double>(), 12.3);
  EXPECT_EQ(batch["updated"][0]["port"], "Com1");
  EXPECT_EQ(batch["no_indicator"][0]["reason"], "nobody");
  EXPECT_EQ(batch["skipped"][0]["port"], "Com9");
  EXPECT_TRUE(batch["failed"].empty());
  EXPECT_EQ(Of(events, "batch").size(), 1u);
  EXPECT_EQ(endCode_, 1);
}
