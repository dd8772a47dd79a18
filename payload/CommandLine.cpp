#include "payload/CommandLine.h"

#include <cstddef>

namespace payload {
namespace {

// Options are 8-bit text; only ASCII letters fold.
std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

bool Is(const std::string& a, char letter) {
  return a.size() == 2 && (a[0] == '/' || a[0] == '\\') && a[1] == letter;
}

// /p, \p or --port: the next argument names a port.
bool IsPort(const std::string& a) {
  return Is(a, 'p') || a == "--port";
}

// /all, \all or --all: every port at once.
bool IsAll(const std::string& a) {
  return a == "/all" || a == "\\all" || a == "--all";
}

bool IsCheck(const std::string& a) {
  return a == "/check" || a == "\\check" || a == "--check";
}

bool IsTimeout(const std::string& a) {
  return a == "--timeout";
}

// /w, \w or --web: the next two arguments name a web page and its firmware.
bool IsWeb(const std::string& a) {
  return Is(a, 'w') || a == "--web";
}

// "--port=COM3" is "--port" "COM3" for the long options that take a value; any other argument stays whole.
std::vector<std::string> SplitLongValues(const std::vector<std::string>& args) {
  std::vector<std::string> out;
  for (size_t i = 0; i < args.size(); ++i) {
    const size_t eq = args[i].find('=');
    const std::string name = eq == std::string::npos ? std::string() : Lower(args[i].substr(0, eq));
    if (i > 0 && (name == "--port" || name == "--timeout" || name == "--web")) {
      out.push_back(args[i].substr(0, eq));
      out.push_back(args[i].substr(eq + 1));
    } else {
      out.push_back(args[i]);
    }
  }
  return out;
}

// Whole seconds, 1 to a day; anything else is refused with its reason.
int ParseSeconds(const std::string& text, std::string& error) {
  long value = 0;
  bool ok = !text.empty() && text.size() <= 6;
  for (char c : text) {
    ok = ok && c >= '0' && c <= '9';
    if (ok) value = value * 10 + (c - '0');
  }
  if (ok && value >= 1 && value <= 86400) return static_cast<int>(value);
  error = "--timeout needs whole seconds from 1 to 86400, not \"" + text + "\"";
  return 0;
}

}  // namespace

bool IsOption(const std::string& arg) {
  const std::string a = Lower(arg);
  return Is(a, 'b') || Is(a, 'u') || Is(a, 'i') || Is(a, 'l') || a == "/x" || IsPort(a) || IsAll(a) ||
         IsCheck(a) || IsTimeout(a) || IsWeb(a);
}

CommandLine ParseCommandLine(const std::vector<std::string>& given) {
  const std::vector<std::string> args = SplitLongValues(given);
  CommandLine cl;
  const size_t count = args.empty() ? 0 : args.size() - 1;
  auto arg = [&](size_t i) { return i < args.size() ? args[i] : std::string(); };
  if (count == 0) return cl;

  cl.ShowDebugButton = true;
  bool buildSeen = false;
  RunMode mode = RunMode::Embedded;

  // Which arguments an option took (itself or as its value); the rest are named as ignored.
  std::vector<bool> used(count + 2, false);
  auto take = [&](size_t from, size_t n) {
    for (size_t k = from; k < from + n && k < used.size(); ++k) used[k] = true;
  };
  bool updateSeen = false;

  // First pass: /b, /u, /w, /i, /p; a later option overrides an earlier one.
  for (size_t i = 1; i <= count; ++i) {
    const std::string a = Lower(arg(i));
    if (IsTimeout(a)) {
      take(i, 2);
      cl.TimeoutError.clear();
      cl.TimeoutSeconds = ParseSeconds(arg(i + 1), cl.TimeoutError);
      i += 1;
      continue;
    }
    if (IsCheck(a)) {
      take(i, 1);
      cl.Check = true;
      continue;
    }
    if (IsPort(a)) {
      take(i, 2);
      // The name is taken as it is, whatever it looks like; a missing one is an empty name, refused later.
      cl.Ports.push_back(arg(i + 1));
      i += 1;
      continue;
    }
    if (IsAll(a)) {
      take(i, 1);
      cl.All = true;
      continue;
    }
    if (Is(a, 'b')) {
      take(i, 1);
      cl.BootFlag = true;
    }
    if (Is(a, 'u') || IsWeb(a)) {
      take(i, 3);
      cl.TargetName = arg(i + 1);
      cl.FirmwarePath = arg(i + 2);
      cl.WebPage = IsWeb(a);
      i += 2;
      mode = RunMode::BuildFirmware;
      buildSeen = true;
    }
    if (Is(a, 'i')) {
      take(i, 2);
      updateSeen = true;
      cl.FirmwarePath = arg(i + 1);
      i += 1;
      mode = RunMode::FirmwareFile;
      cl.WebPage = false;
      if (i != count) {
        // Note: "/i" as the last argument leaves i past count, so this looks at an empty argument and
        // takes it as the loader path (run mode 4, ended later by the firmware-file message).
        const std::string b = Lower(arg(i + 1));
        // An option of ours after the firmware file is that option, never the loader (/x aside, as it
        // always was).
        if (!Is(b, 'u') && !Is(b, 'b') && !Is(b, 'i') && !Is(b, 'l') && !IsPort(b) && !IsAll(b) &&
            !IsCheck(b) && !IsTimeout(b) && !IsWeb(b)) {
          take(i + 1, 1);
          cl.LoaderPath = arg(i + 1);
          i += 1;
          mode = RunMode::BothFiles;
        }
      }
    }
  }

  // Second pass, from argument 0: /l decides between the build modes and overrides the first pass; /x.
  for (size_t i = 0; i <= count; ++i) {
    const std::string a = Lower(arg(i));
    if (i > 0 && (IsPort(a) || IsTimeout(a))) {
      i += 1;  // a port name or a number is never read as an option
      continue;
    }
    if (Is(a, 'l')) {
      take(i, 2);
      cl.LoaderPath = arg(i + 1);
      i += 1;
      cl.LoaderOverridesUpdate = !buildSeen && updateSeen && FirmwareFromFile(mode);
      mode = buildSeen ? RunMode::BuildBoth : RunMode::BuildLoader;
    }
    if (a == "/x") {
      take(i, 1);
      cl.ExitWhenDone = true;
    }
  }

  for (size_t i = 1; i <= count; ++i) {
    if (!used[i]) cl.Ignored.push_back(arg(i));
  }
  cl.RunMode = mode;
  return cl;
}

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
  return ParseCommandLine(args);
}

}  // namespace payload
