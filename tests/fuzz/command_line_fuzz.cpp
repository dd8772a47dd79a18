// libFuzzer target: the command line, and the help and version requests read from it.
// Input: the arguments, argument 0 (the program) first, separated by NUL bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/core/InfoRequest.h"
#include "payload/CommandLine.h"

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  return s;
}

// Whether some argument from `first` on is the option with this letter ("/u" or "\u"; "/x" only).
bool Given(const std::vector<std::string>& args, size_t first, char letter) {
  for (size_t i = first; i < args.size(); ++i) {
    const std::string a = Lower(args[i]);
    if (a.size() == 2 && a[1] == letter && (a[0] == '/' || (a[0] == '\\' && letter != 'x'))) return true;
  }
  return false;
}

bool IsOneOf(const std::string& value, const std::vector<std::string>& args) {
  if (value.empty()) return true;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == value) return true;
  }
  return false;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 160) return 0;  // longer lines only repeat what shorter ones show
  std::vector<std::string> given(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      given.emplace_back();
    } else {
      given.back() += static_cast<char>(data[i]);
    }
  }
  const payload::CommandLine cl = payload::ParseCommandLine(given);
  // The checks below read "--port=NAME", "--timeout=N" and "--web=NAME" as the two arguments they stand for.
  std::vector<std::string> args(1, given[0]);
  for (size_t i = 1; i < given.size(); ++i) {
    const size_t eq = given[i].find('=');
    const std::string name = Lower(given[i].substr(0, eq));
    if (eq != std::string::npos && (name == "--port" || name == "--timeout" || name == "--web")) {
      args.push_back(given[i].substr(0, eq));
      args.push_back(given[i].substr(eq + 1));
    } else {
      args.push_back(given[i]);
    }
  }
  const size_t count = args.size() - 1;
  const int mode = static_cast<int>(cl.RunMode);

  Check(mode >= 0 && mode <= 5);
  Check(cl.ShowDebugButton == (count > 0));
  // Each mode and flag needs its option somewhere; /l and /x are looked for from argument 0 on.
  Check(!cl.BootFlag || Given(args, 1, 'b'));
  Check(!cl.ExitWhenDone || Given(args, 0, 'x'));
  bool web = Given(args, 1, 'w');
  for (size_t i = 1; i < args.size(); ++i) web = web || Lower(args[i]) == "--web";
  Check((mode != 1 && mode != 2) || Given(args, 1, 'u') || web);
  Check(!cl.WebPage || ((mode == 1 || mode == 2) && web));
  Check((mode != 3 && mode != 4) || Given(args, 1, 'i'));
  Check((mode != 2 && mode != 5) || Given(args, 0, 'l'));
  // /l makes a build, unless it is the name of a port or the value of --timeout (refused: no number).
  Check(count == 0 || mode != 0 || !Given(args, 0, 'l') || !cl.Ports.empty() || !cl.TimeoutError.empty());
  if (!Given(args, 0, 'u') && !Given(args, 0, 'i') && !Given(args, 0, 'l') && !web) Check(mode == 0);
  if (count == 0) Check(cl.TargetName.empty() && cl.FirmwarePath.empty() && cl.LoaderPath.empty());
  // Names and paths are arguments as given, never lower-cased.
  Check(IsOneOf(cl.TargetName, args) && IsOneOf(cl.FirmwarePath, args) && IsOneOf(cl.LoaderPath, args));
  // Each port name is an argument as given (or empty when /p came last), one per /p at most.
  size_t portOptions = 0;
  for (size_t i = 1; i < args.size(); ++i)
    portOptions += Lower(args[i]) == "--port" || Given({args[i]}, 0, 'p');
  Check(cl.Ports.size() <= portOptions);
  for (const std::string& port : cl.Ports) Check(IsOneOf(port, args));

  // Help and version requests. A request word the command line takes as a value is in one of the fields;
  // so when none of them is found, each is there. When no request word is in a field, the first one counts.
  const app::InfoRequest found = app::RequestedInfo(given);
  app::InfoRequest first = app::InfoRequest::kNone;
  bool anyKept = false;
  for (size_t i = 1; i < given.size(); ++i) {
    const std::string& a = given[i];
    const bool help = a == "--help" || a == "-h" || a == "/?";
    if (!help && a != "--version") continue;
    bool kept = a == cl.TargetName || a == cl.FirmwarePath || a == cl.LoaderPath;
    for (const std::string& port : cl.Ports) kept = kept || a == port;
    anyKept = anyKept || kept;
    if (found == app::InfoRequest::kNone) Check(kept);
    if (first == app::InfoRequest::kNone) first = help ? app::InfoRequest::kHelp : app::InfoRequest::kVersion;
  }
  if (!anyKept) Check(found == first);
  return 0;
}
