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

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  const size_t count = args.empty() ? 0 : args.size() - 1;
  auto arg = [&](size_t i) { return i < args.size() ? args[i] : std::string(); };
  if (count == 0) return cl;

  cl.ShowDebugButton = true;
  bool buildSeen = false;
  RunMode mode = RunMode::Embedded;

  // First pass: /b, /u, /i, /p; a later option overrides an earlier one.
  for (size_t i = 1; i <= count; ++i) {
    const std::string a = Lower(arg(i));
    if (IsPort(a)) {
      // The name is taken as it is, whatever it looks like; a missing one is an empty name, refused later.
      cl.Ports.push_back(arg(i + 1));
      i += 1;
      continue;
    }
    if (IsAll(a)) {
      cl.All = true;
      continue;
    }
    if (Is(a, 'b')) cl.BootFlag = true;
    if (Is(a, 'u')) {
      cl.TargetName = arg(i + 1);
      cl.FirmwarePath = arg(i + 2);
      i += 2;
      mode = RunMode::BuildFirmware;
      buildSeen = true;
    }
    if (Is(a, 'i')) {
      cl.FirmwarePath = arg(i + 1);
      i += 1;
      mode = RunMode::FirmwareFile;
      if (i != count) {
        // Note: "/i" as the last argument leaves i past count, so this looks at an empty argument and
        // takes it as the loader path (run mode 4, ended later by the firmware-file message).
        const std::string b = Lower(arg(i + 1));
        // A /p or /all after the firmware file is that option, never the loader.
        if (!Is(b, 'u') && !Is(b, 'b') && !Is(b, 'i') && !Is(b, 'l') && !IsPort(b) && !IsAll(b)) {
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
    if (i > 0 && IsPort(a)) {
      i += 1;  // a port name is never read as an option
      continue;
    }
    if (Is(a, 'l')) {
      cl.LoaderPath = arg(i + 1);
      i += 1;
      mode = buildSeen ? RunMode::BuildBoth : RunMode::BuildLoader;
    }
    if (a == "/x") cl.ExitWhenDone = true;
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
