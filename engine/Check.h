// The identify-only check (--check): what the indicator answered on the way an update identifies it, and
// the verdict on the firmware's fit, found without sending anything that changes the indicator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace engine {

enum class CheckVerdict : uint8_t {
  Fits,            // every check an update makes before it changes anything passed
  FitNotChecked,   // no firmware was given: the indicator's answers only
  NotAMatch,       // the flash size does not suit the firmware (the update's error 4)
  NoSpace,         // the indicator has not enough space ({FT}, or 14 from the heap check)
  HeapOutOfRange,  // the start and end addresses are outside the indicator's heap (F9)
  Bluetooth,       // the port is a Bluetooth link, which cannot carry an update
  NoIndicator,     // no indicator answered (on any port of the round)
};

// "fits", "fit_not_checked", "not_a_match", "no_space", "heap_out_of_range", "bluetooth", "no_indicator".
const char* VerdictName(CheckVerdict verdict);
// The verdict in a sentence for the technician.
std::string VerdictText(CheckVerdict verdict);
// True for the verdicts that say the indicator would refuse the firmware.
bool RefusesFirmware(CheckVerdict verdict);

struct CheckAnswer {
  std::string Command;  // "{VFSH}"
  std::string Answer;   // the text between the brackets, as the indicator sent it
};

struct CheckReport {
  std::string Port;                  // as the technician gave it, or "Com3"
  std::string Device;                // what it opened ("Com3", a path, a URL)
  int Baud = 0;                      // the rate the indicator answered at; 0 when it never did
  std::vector<CheckAnswer> Answers;  // in the order asked; an answer asked again replaces its first
  CheckVerdict Verdict = CheckVerdict::NoIndicator;
  std::string Reason;  // the verdict's detail: the numbers that decided it
};

// "{VFSH} [512]  {VC} [1.20] ...": the answers on one line.
std::string AnswersText(const CheckReport& report);

}  // namespace engine
