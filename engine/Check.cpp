// The identify-only check and the engine's progress: what the check keeps of the indicator's answers, where
// it ends, and how far on the run has come.
#include "engine/Check.h"

#include <algorithm>

#include "engine/SerialThreadDef.h"

namespace engine {

const char* VerdictName(CheckVerdict verdict) {
  switch (verdict) {
    case CheckVerdict::Fits:
      return "fits";
    case CheckVerdict::FitNotChecked:
      return "fit_not_checked";
    case CheckVerdict::NotAMatch:
      return "not_a_match";
    case CheckVerdict::NoSpace:
      return "no_space";
    case CheckVerdict::HeapOutOfRange:
      return "heap_out_of_range";
    case CheckVerdict::Bluetooth:
      return "bluetooth";
    case CheckVerdict::NoIndicator:
      return "no_indicator";
  }
  return "no_indicator";
}

std::string VerdictText(CheckVerdict verdict) {
  switch (verdict) {
    case CheckVerdict::Fits:
      return "the firmware fits this indicator";
    case CheckVerdict::FitNotChecked:
      return "no firmware given: the fit was not checked";
    case CheckVerdict::NotAMatch:
      return "the indicator type and the firmware are not a match (error 4)";
    case CheckVerdict::NoSpace:
      return "this indicator does not have enough space; delete some files in the indicator first";
    case CheckVerdict::HeapOutOfRange:
      return "start, end address outside heap";
    case CheckVerdict::Bluetooth:
      return "a Bluetooth port, which cannot carry an update";
    case CheckVerdict::NoIndicator:
      return "no indicator answered";
  }
  return "no indicator answered";
}

bool RefusesFirmware(CheckVerdict verdict) {
  return verdict == CheckVerdict::NotAMatch || verdict == CheckVerdict::NoSpace ||
         verdict == CheckVerdict::HeapOutOfRange;
}

std::string AnswersText(const CheckReport& report) {
  std::string text;
  for (const CheckAnswer& a : report.Answers) {
    text += (text.empty() ? "" : "  ") + a.Command + " [" + a.Answer + "]";
  }
  return text;
}

namespace {

// How far on the usual road a reply in this state comes: a reply further on than any before is progress,
// one that a retry loop brings again is not.
int ProgressRank(uint8_t state) {
  switch (state) {
    case eZa96Before:
    case eZa384Before:
      return 1;
    case eCheckPort:
      return 2;
    case eCheckFlash:
      return 3;
    case eRequestSCPVersion:
      return 4;
    case eRequestVersion:
      return 5;
    case eTurnErrorOn:
      return 6;
    case eCheckHeapAddress:
    case eFt96:
    case eFt384:
      return 7;
    case eSebx384:
    case eZa384After:
    case eZa384Retry:
    case eZa96After:
    case eZa96Last:
    case eSeha:
      return 8;
    case eSendPM:
    case eUploadZA:
      return 9;
    case eWaitQ:
      return 10;
    case eSendU:
    case eU384:
    case eU96:
      return 11;
    case eWaitV:
      return 12;
    case eWaitW:
      return 13;
    case eSendFirmware:
      return 14;
    case eWaitX:
      return 15;
    case eWaitY:
      return 16;
    default:
      return 0;
  }
}

// The command whose bracketed answer a state reads.
const char* CommandOf(uint8_t state) {
  switch (state) {
    case eCheckPort:
      return "{SCPC}";
    case eCheckFlash:
      return "{VFSH}";
    case eRequestSCPVersion:
      return "{VC}";
    case eRequestVersion:
      return "{VW}";
    case eCheckHeapAddress:
      return "{PS420004,424FFF}";
    case eFt96:
    case eFt384:
      return "{FT}";
    default:
      return nullptr;
  }
}

}  // namespace

void TSerialThread::SetCheckOnly(bool firmwareGiven) {
  checkOnly_ = true;
  checkFirmware_ = firmwareGiven;
}

void TSerialThread::Advanced() {
  const int rank = ProgressRank(State);
  // Every block acknowledged moves the image on, also in a transfer begun again.
  if (rank <= progressRank_ && State != eSendFirmware) return;
  progressRank_ = std::max(progressRank_, rank);
  Synchronize([&] {
    if (ProgressBar) ProgressBar->Progressed();
  });
}

int64_t TSerialThread::LongWaitLeftMs() const {
  if (State != eWaitV && State != eWaitQ) return 0;
  return std::max<int64_t>(0, TimeoutTimer->Interval() - MillisecondsSince(WaitStart));
}

bool TSerialThread::InBootLoader() const {
  switch (State) {
    case eWaitQ:
    case eSendU:
    case eWaitV:
    case eWaitW:
    case eSendFirmware:
    case eWaitX:
    case eWaitY:
      return true;
    default:
      return false;
  }
}

void TSerialThread::CheckAnswered(const std::string& answer) {
  const char* command = CommandOf(State);
  if (!checkOnly_ || !command) return;
  for (CheckAnswer& a : check_.Answers) {
    if (a.Command == command) {
      a.Answer = answer;
      return;
    }
  }
  check_.Answers.push_back({command, answer});
}

bool TSerialThread::CheckRefuses(const std::string& command) {
  // The last guard: whatever path leads here, a check never sends what changes the indicator.
  if (!checkOnly_) return false;
  if (command != "U" && command != "{PM}" && command.rfind("{SEBX", 0) != 0 &&
      command.rfind("{SEHA", 0) != 0) {
    return false;
  }
  Log("Not sent: " + command + " (the check changes nothing on the indicator)");
  return true;
}

void TSerialThread::CheckEnd(CheckVerdict verdict, const std::string& reason, bool ends) {
  if (Terminated()) return;
  const PortCandidate* port = Selected();
  check_.Port = port ? port->Name : std::string();
  check_.Device = port ? port->Device : std::string();
  check_.Baud = answered_ ? (answeringBaud_ ? answeringBaud_ : CurrentBaud) : 0;
  check_.Verdict = verdict;
  check_.Reason = reason;
  Log("Check on " + check_.Port + ": " + VerdictText(verdict) + (reason.empty() ? "" : " (" + reason + ")"));
  if (!check_.Answers.empty()) Log("Answers: " + AnswersText(check_));
  // No indicator is no report on a port: the run's end says it.
  if (verdict != CheckVerdict::NoIndicator) {
    Synchronize([&] {
      if (ProgressBar) ProgressBar->CheckDone(check_);
    });
  }
  if (!ends) {
    // A stop on the way (a Bluetooth port): the scan goes on, and the next port's answers are its own.
    check_.Answers.clear();
    return;
  }
  ReleasePort();
  Finish();
}

}  // namespace engine
