// What one chunk of received bytes should be recognised as, when it arrives on an empty receive buffer:
// stated from the reply rules, by searching the text, rather than by the engine's own scan of its buffer.
// Reply recognition is checked against it.
#pragma once

#include <cstdint>
#include <string>

#include "engine/SerialThreadDef.h"

namespace engine_test {

struct ExpectedReply {
  uint8_t kind = engine::kReplyNone;
  bool flashSizeRead = false;  // eCheckFlash took the answer as the flash size
  int32_t flashSize = 0;
};

inline ExpectedReply ReferenceReply(uint8_t state, const std::string& chunk) {
  using namespace engine;
  ExpectedReply r;
  auto has = [&](char c) { return chunk.find(c) != std::string::npos; };
  auto letter = [&](char c, uint8_t kind) {
    if (has(c)) r.kind = kind;
    return r;
  };
  if (chunk.empty()) return r;
  switch (state) {
    case eZa96Before:
    case eZa96After:
    case eTurnErrorOn:
    case eZa384Before:
    case eZa96Last:
    case eZa384After:
    case eZa384Retry:
    case eSebx384:
    case eSeha:
    case eSendPM:
    case eUploadZA:
      return letter('^', kReplyAck);
    case eSendU:
    case eU384:
    case eU96:
      return letter('T', kReplyT);
    case eWaitV:
      return letter('V', kReplyV);
    case eWaitW:
      return letter('W', kReplyW);
    case eSendFirmware:
      // A Q first in a chunk cuts the transfer short, as a timeout would.
      if (chunk[0] == 'Q') return {kReplyTimeout};
      return letter('Z', kReplyZ);
    case eWaitX:
      return letter('X', kReplyX);
    case eWaitY:
      return letter('Y', kReplyY);
    case eWaitQ:
      return letter('Q', kReplyQ);
    case eUpload: {
      // The later of B and D counts.
      const size_t at = chunk.find_last_of("BD");
      if (at != std::string::npos) r.kind = chunk[at] == 'B' ? kReplyB : kReplyD;
      return r;
    }
    case eCheckFlash:
    case eRequestSCPVersion:
    case eRequestVersion:
    case eCheckHeapAddress:
    case eFt96:
    case eFt384:
    case eCheckPort:
      break;
    default:
      return r;
  }
  // The answer in the last closing bracket and the nearest opening one before it, of either kind.
  const size_t close = chunk.find_last_of("])");
  if (close == std::string::npos || close == 0) return r;
  const size_t open = chunk.find_last_of("[(", close - 1);
  if (open == std::string::npos) return r;
  const std::string answer = chunk.substr(open + 1, close - open - 1);
  const unsigned char first = answer.empty() ? 0 : static_cast<unsigned char>(answer[0]);
  switch (state) {
    case eCheckFlash:
      r.kind = kReplyAck;
      r.flashSizeRead = true;
      r.flashSize = ReadReplyInteger(answer);
      break;
    case eRequestSCPVersion:
    case eRequestVersion: {
      const bool scp = state == eRequestSCPVersion;
      if (first == '1') r.kind = scp ? kReplyScpOne : kReplyVersionOne;
      if (first > '1') r.kind = scp ? kReplyScpHigher : kReplyVersionHigher;
      break;
    }
    case eCheckHeapAddress:
      if (answer == "FD") {
        r.kind = kReplyHeapFD;
      } else if (answer == "F9") {
        r.kind = kReplyHeapF9;
      } else if (answer == "14") {
        r.kind = kReplyHeap14;
      } else if (IsHexText(answer)) {
        r.kind = kReplyHeapOther;
      }
      break;
    case eFt96:
    case eFt384: {
      // 9250 records, and no number at all, are neither.
      const int32_t records = ReadReplyInteger(answer);
      if (records >= 9251) {
        r.kind = kReplyFtTooBig;
      } else if (records != 9250 && records != -1) {
        r.kind = kReplyFtFits;
      }
      break;
    }
    case eCheckPort:
      if (first == '0' || first == '1') {
        r.kind = kReplyNotBluetooth;
      } else if (!answer.empty()) {
        r.kind = kReplyBluetooth;
      }
      break;
    default:
      break;
  }
  return r;
}

}  // namespace engine_test
