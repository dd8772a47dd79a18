#include <random>

#include "tests/engine/harness.h"
#include "tests/engine/reference_reply.h"

using namespace engine;
using engine_test::EngineTest;

namespace {

TEST(ReplyText, IntegerReading) {
  struct Case {
    const char* text;
    int32_t value;
  } cases[] = {
      {"9250", 9250},
      {"  42", 42},
      {"-5", -5},
      {"+7", 7},
      {"$1F", 31},
      {"x10", 16},
      {"X10", 16},
      {"0x10", 16},
      {"0Xff", 255},
      {"-$10", -16},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"2147483648", -1},
      {"$FFFFFFFF", -1},
      {"", -1},
      {"  ", -1},
      {"12a", -1},
      {"1 ", -1},
      {"$", -1},
      {"0x", -1},
      {"-", -1},
      {"99999999999999", -1},
      {"0", 0},
      {"007", 7},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value, ReadReplyInteger(c.text)) << '"' << c.text << '"';
}

TEST(ReplyText, HexTextRule) {
  EXPECT_TRUE(IsHexText(""));
  EXPECT_TRUE(IsHexText("0"));
  EXPECT_TRUE(IsHexText("4A00FF"));
  EXPECT_FALSE(IsHexText("4a"));  // upper case only
  EXPECT_FALSE(IsHexText("12G"));
  EXPECT_TRUE(IsHexText("ZZZZZZZ"));  // seven or more characters always count
}

TEST(ReplyText, CrcTableAndCheckValue) {
  EXPECT_EQ(0x0000, kCrcTable[0]);
  EXPECT_EQ(0xC0C1, kCrcTable[1]);
  EXPECT_EQ(0xA001, kCrcTable[128]);
  EXPECT_EQ(0x4040, kCrcTable[255]);
}

TEST(ReplyText, StateNames) {
  EXPECT_STREQ("eReadyOpen", StateNames[eReadyOpen]);
  EXPECT_STREQ("eSendFirmware", StateNames[eSendFirmware]);
  EXPECT_STREQ("eCheckPort", StateNames[eCheckPort]);
  EXPECT_EQ(28, eCheckPort);
}

class Recognition : public EngineTest {
 protected:
  void SetUp() override {
    Create();
    window.log.clear();  // creation's own reports
  }
};

TEST_F(Recognition, CaretOnlyWhereAnAcknowledgeIsAwaited) {
  for (uint8_t s : {eZa96Before, eZa96After, eTurnErrorOn, eZa384Before, eZa96Last, eZa384After, eZa384Retry,
                    eSebx384, eSeha, eSendPM, eUploadZA}) {
    engine->State = s;
    engine->RxPos = 1;
    engine->ReplyKind = 0;
    Chunk("xx^yy");
    EXPECT_EQ(kReplyAck, engine->ReplyKind) << StateNames[s];
    EXPECT_EQ(5, engine->RxPos) << "the caret alone is taken out";
    EXPECT_EQ('x', engine->RxBuffer[1]);
    EXPECT_EQ('y', engine->RxBuffer[3]);
  }
  for (uint8_t s : {eSendU, eWaitV, eCheckFlash, eCheckPort, eReadyOpen, eWaitQ}) {
    engine->State = s;
    engine->RxPos = 1;
    engine->ReplyKind = 0;
    Chunk("^");
    EXPECT_EQ(0, engine->ReplyKind) << StateNames[s];
    EXPECT_EQ(2, engine->RxPos);
  }
}

TEST_F(Recognition, LetterAnywhereInTheChunkTakesOutTheLastByte) {
  engine->State = eSendU;
  Chunk("abTcd");
  EXPECT_EQ(kReplyT, engine->ReplyKind);
  EXPECT_EQ(5, engine->RxPos);
  EXPECT_EQ(std::string("abTc"), std::string(reinterpret_cast<char*>(engine->RxBuffer + 1), 4));
  EXPECT_TRUE(WaitSteps(1));  // the wake-up gives a step

  struct Case {
    uint8_t state;
    char letter;
    uint8_t kind;
  } cases[] = {{eU384, 'T', kReplyT},  {eU96, 'T', kReplyT},          {eWaitV, 'V', kReplyV},
               {eWaitW, 'W', kReplyW}, {eSendFirmware, 'Z', kReplyZ}, {eWaitX, 'X', kReplyX},
               {eWaitY, 'Y', kReplyY}, {eWaitQ, 'Q', kReplyQ}};
  for (const auto& c : cases) {
    engine->State = c.state;
    engine->RxPos = 1;
    engine->ReplyKind = 0;
    Chunk(std::string("..") + c.letter);
    EXPECT_EQ(c.kind, engine->ReplyKind) << StateNames[c.state];
    Chunk("...");  // no letter in this chunk, none in the buffer: nothing
    engine->ReplyKind = 0;
    Chunk("..");
    EXPECT_EQ(0, engine->ReplyKind) << StateNames[c.state];
  }
  // A letter left in the buffer from an earlier chunk is still found.
  engine->State = eWaitV;
  engine->RxPos = 1;
  engine->ReplyKind = 0;
  engine->State = eReadyOpen;
  Chunk("V");
  engine->State = eWaitV;
  Chunk("-");
  EXPECT_EQ(kReplyV, engine->ReplyKind);
}

TEST_F(Recognition, UploadSeesBAndD) {
  engine->State = eUpload;
  Chunk("zzB");
  EXPECT_EQ(kReplyB, engine->ReplyKind);
  Chunk("D");
  EXPECT_EQ(kReplyD, engine->ReplyKind);
  engine->ReplyKind = 0;
  Chunk("QT^");
  EXPECT_EQ(0, engine->ReplyKind);
}

TEST_F(Recognition, QAtTheStartOfAChunkDuringTheTransferIsATimeout) {
  engine->State = eSendFirmware;
  Chunk("Qxyz");
  EXPECT_EQ(kReplyTimeout, engine->ReplyKind);
  EXPECT_TRUE(window.log.empty());  // nothing logged, nothing scanned
  engine->ReplyKind = 0;
  engine->RxPos = 1;
  Chunk("xQ");
  EXPECT_EQ(0, engine->ReplyKind);
  engine->State = eWaitQ;
  engine->RxPos = 1;
  Chunk("Q");
  EXPECT_EQ(kReplyQ, engine->ReplyKind);
}

TEST_F(Recognition, ReceivedLineExceptForALoneZ) {
  engine->State = eSendFirmware;
  Chunk("Z");
  EXPECT_TRUE(window.log.empty());
  Chunk("ZZ");
  Chunk("Z\r\n");
  Chunk(std::string("\x01\x02\x7f\xff", 4));
  Chunk(std::string("\0", 1));
  EXPECT_EQ((std::vector<std::string>{"Received: ZZ length: 2", "Received: Z length: 3",
                                      "Received:  length: 4", "Received:  length: 1"}),
            window.log);
}

TEST_F(Recognition, BracketedAnswersPerState) {
  struct Case {
    uint8_t state;
    const char* chunk;
    uint8_t kind;
  } cases[] = {
      {eRequestSCPVersion, "[1.2]", kReplyScpOne},
      {eRequestSCPVersion, "[2]", kReplyScpHigher},
      {eRequestSCPVersion, "[A]", kReplyScpHigher},
      {eRequestSCPVersion, "[0]", 0},
      {eRequestSCPVersion, "[]", 0},
      {eRequestVersion, "(1]", kReplyVersionOne},
      {eRequestVersion, "[9)", kReplyVersionHigher},
      {eRequestVersion, "[]", 0},
      {eCheckHeapAddress, "[FD]", kReplyHeapFD},
      {eCheckHeapAddress, "[F9]", kReplyHeapF9},
      {eCheckHeapAddress, "[14]", kReplyHeap14},
      {eCheckHeapAddress, "[4A00]", kReplyHeapOther},
      {eCheckHeapAddress, "[]", kReplyHeapOther},
      {eCheckHeapAddress, "[fd]", 0},
      {eCheckHeapAddress, "[ABCDEFGH]", kReplyHeapOther},
      {eFt96, "[9251]", kReplyFtTooBig},
      {eFt96, "[9250]", 0},
      {eFt384, "[9249]", kReplyFtFits},
      {eFt384, "[-1]", 0},
      {eFt96, "[-5]", kReplyFtFits},
      {eFt96, "[abc]", 0},
      {eCheckPort, "[0]", kReplyNotBluetooth},
      {eCheckPort, "[1xyz]", kReplyNotBluetooth},
      {eCheckPort, "[2]", kReplyBluetooth},
      {eCheckPort, "[B]", kReplyBluetooth},
      {eCheckPort, "[]", 0},
  };
  for (const auto& c : cases) {
    engine->State = c.state;
    engine->RxPos = 1;
    engine->ReplyKind = 0;
    Chunk(std::string("..") + c.chunk);
    EXPECT_EQ(c.kind, engine->ReplyKind) << StateNames[c.state] << " " << c.chunk;
    EXPECT_EQ(3, engine->RxPos) << "the block is taken out whether or not it gives a kind: " << c.chunk;
  }
  EXPECT_TRUE(Logged("Non Bluetooth Con Port"));
  EXPECT_TRUE(Logged("Bluetooth Con Port"));
}

TEST_F(Recognition, FlashSizeFromAnyAnswer) {
  engine->State = eCheckFlash;
  Chunk("[2048]");
  EXPECT_EQ(kReplyAck, engine->ReplyKind);
  EXPECT_EQ(2048, engine->FlashSize);
  engine->ReplyKind = 0;
  Chunk("[]");
  EXPECT_EQ(kReplyAck, engine->ReplyKind);
  EXPECT_EQ(-1, engine->FlashSize);
}

TEST_F(Recognition, LaterAnswerWinsAndUnmatchedClosingBracketIsPassedOver) {
  engine->State = eRequestVersion;
  Chunk("[1][2]");
  EXPECT_EQ(kReplyVersionHigher, engine->ReplyKind);
  EXPECT_EQ(4, engine->RxPos);  // "[1]" stays
  engine->RxPos = 1;
  engine->ReplyKind = 0;
  Chunk("[1]x]");  // the last ']' pairs with the '[' before the first: the answer is "1]x"
  EXPECT_EQ(kReplyVersionOne, engine->ReplyKind);
  EXPECT_EQ(1, engine->RxPos);
  engine->RxPos = 1;
  engine->ReplyKind = 0;
  Chunk("ab]cd");  // no opening bracket at all
  EXPECT_EQ(0, engine->ReplyKind);
  EXPECT_EQ(6, engine->RxPos);
  Chunk("[1");  // brackets without end: nothing yet
  EXPECT_EQ(0, engine->ReplyKind);
  Chunk("]");  // the answer completes across chunks
  EXPECT_EQ(kReplyVersionOne, engine->ReplyKind);
}

TEST_F(Recognition, BufferWrapsAfter4096Bytes) {
  engine->State = eWaitV;  // letter rule, and 'V' is never in the filler
  Chunk(std::string(4095, 'a'));
  EXPECT_EQ(4096, engine->RxPos);
  Chunk("bc");  // 'b' at 4096, 'c' wraps to 1
  EXPECT_EQ(2, engine->RxPos);
  EXPECT_EQ('c', engine->RxBuffer[1]);
  EXPECT_EQ('b', engine->RxBuffer[4096]);
  engine->State = eZa96Before;
  engine->RxPos = 4096;
  Chunk("^");  // the caret lands at 4096 and the write position wraps: the scan covers nothing
  EXPECT_EQ(1, engine->RxPos);
  EXPECT_EQ(0, engine->ReplyKind);
  engine->SetRxPos(0);
  EXPECT_EQ(4096, engine->RxPos);
  engine->SetRxPos(4097);
  EXPECT_EQ(1, engine->RxPos);
}

// Chunks of the characters replies are made of, with noise, on an empty buffer: each is recognised as the
// reply rules say.
TEST_F(Recognition, RandomChunksAreRecognisedAsTheReplyRulesSay) {
  std::mt19937 random(1234);
  auto pick = [&](const std::string& from) { return from[random() % from.size()]; };
  const std::string letters = std::string("^TVWZXYQBD[]() a\r\n") + '\0' + '\xFF';
  const std::string answer = "0123456789ABCDEF$x-+ ";
  for (int round = 0; round < kStateCount * 2000; ++round) {
    const uint8_t state = static_cast<uint8_t>(round % kStateCount);
    // Letters and noise, and answers in brackets of either kind.
    std::string chunk;
    for (int piece = 1 + static_cast<int>(random() % 4); piece > 0; --piece) {
      switch (random() % 4) {
        case 0:
          chunk += static_cast<char>(random() & 0xFF);
          break;
        case 1:
          chunk += pick(letters);
          break;
        default:
          chunk += pick("[(");
          for (int n = static_cast<int>(random() % 6); n > 0; --n) chunk += pick(answer);
          chunk += pick("])");
      }
    }
    engine->State = state;
    engine->RxPos = 1;
    engine->ReplyKind = kReplyNone;
    engine->FlashSize = -7;
    Chunk(chunk);
    const engine_test::ExpectedReply expected = engine_test::ReferenceReply(state, chunk);
    SCOPED_TRACE(std::string(StateNames[state]) + " '" + serial::StripNonPrintable(chunk) + "'");
    ASSERT_EQ(expected.kind, engine->ReplyKind);
    EXPECT_EQ(expected.flashSizeRead ? expected.flashSize : -7, engine->FlashSize);
    ASSERT_EQ(state, engine->State);  // no step ran in between to spoil the comparison
  }
}

TEST_F(Recognition, GarbageStaysInsideTheBuffer) {
  std::mt19937 random(1234);
  for (int round = 0; round < kStateCount * 4; ++round) {
    engine->State = static_cast<uint8_t>(round % kStateCount);
    std::string chunk(static_cast<size_t>(1 + random() % 10000), '\0');
    for (char& c : chunk) c = static_cast<char>(random() & 0xFF);
    Chunk(chunk);
    EXPECT_GE(engine->RxPos, 1);
    EXPECT_LE(engine->RxPos, 4096);
  }
}

// However the line splits a reply into reads, it is the same reply.
TEST_F(Recognition, AReplySplitAnywhereIsTheSameReply) {
  struct Case {
    uint8_t state;
    std::string reply;
    uint8_t kind;
  } cases[] = {
      {eZa96Before, "\r\n^\r\n", kReplyAck},
      {eSendU, "\r\nT\r\n", kReplyT},
      {eUpload, "B..D", kReplyD},
      {eCheckFlash, "\r\n[2048]\r\n", kReplyAck},
      {eRequestSCPVersion, "[1.02]", kReplyScpOne},
      {eRequestVersion, "(2.10)", kReplyVersionHigher},
      {eCheckHeapAddress, "[4A0000]", kReplyHeapOther},
      {eCheckHeapAddress, "[F9]", kReplyHeapF9},
      {eFt96, "[9249]", kReplyFtFits},
      {eFt384, "[9251]", kReplyFtTooBig},
      {eCheckPort, "[0]", kReplyNotBluetooth},
      {eCheckPort, "[BT]", kReplyBluetooth},
  };
  for (const Case& c : cases) {
    for (size_t split = 0; split <= c.reply.size(); ++split) {
      SCOPED_TRACE(std::string(StateNames[c.state]) + " '" + serial::StripNonPrintable(c.reply) +
                   "' split at " + std::to_string(split));
      engine->State = c.state;
      engine->RxPos = 1;
      engine->ReplyKind = kReplyNone;
      engine->FlashSize = 0;
      if (split > 0) Chunk(c.reply.substr(0, split));
      if (split < c.reply.size()) Chunk(c.reply.substr(split));
      EXPECT_EQ(c.kind, engine->ReplyKind);
      if (c.state == eCheckFlash) {
        EXPECT_EQ(2048, engine->FlashSize);
      }
    }
  }
}

TEST_F(Recognition, NothingAfterFinish) {
  engine->State = eZa96Before;
  engine->Finish();
  window.log.clear();
  engine->RxCharReceived(nullptr, 1);
  engine->TimeoutTimerFired();
  EXPECT_EQ(0, engine->ReplyKind);
  EXPECT_FALSE(engine->WakeEvent.IsSet());
  Chunk("^");  // even fed directly, a terminated engine stores nothing
  EXPECT_EQ(0, engine->ReplyKind);
  EXPECT_EQ(1, engine->RxPos);
}

}  // namespace
