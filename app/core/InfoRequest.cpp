#include "app/core/InfoRequest.h"

#include "app/core/Texts.h"
#include "payload/CommandLine.h"

namespace app {

namespace {

bool SameParse(const payload::CommandLine& a, const payload::CommandLine& b) {
  return a.RunMode == b.RunMode && a.TargetName == b.TargetName && a.FirmwarePath == b.FirmwarePath &&
         a.LoaderPath == b.LoaderPath && a.BootFlag == b.BootFlag && a.ExitWhenDone == b.ExitWhenDone &&
         a.ShowDebugButton == b.ShowDebugButton && a.Ports == b.Ports && a.WebPage == b.WebPage;
}

}  // namespace

InfoRequest RequestedInfo(const std::vector<std::string>& args) {
  const payload::CommandLine parsed = payload::ParseCommandLine(args);
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    const InfoRequest request = a == "--help" || a == "-h" || a == "/?" ? InfoRequest::kHelp
                                : a == "--version"                      ? InfoRequest::kVersion
                                                                        : InfoRequest::kNone;
    if (request == InfoRequest::kNone) continue;
    // The command line's own rules decide whether the word is a value: as one, putting another word in its
    // place changes what it parses to; an argument it ignores changes nothing.
    std::vector<std::string> other = args;
    other[i].clear();
    if (SameParse(payload::ParseCommandLine(other), parsed)) return request;
  }
  return InfoRequest::kNone;
}

namespace {

#if defined(_WIN32)
// A window program: the console presentation is asked for, and the error log goes where service staff look.
constexpr char kUsageHead[] =
    "Usage: brae-update.exe [options]\n"
    "Updates the firmware of a Veltrona Series Brae weighing indicator on a serial port, or writes a copy\n"
    "of this program that carries a firmware image and/or a loader. It opens its window; with\n"
    "BRAE_CONSOLE=1 it runs in the console it was started from.\n";
constexpr char kEnvironment[] =
    "Environment:\n"
    "  BRAE_LOG_DIR      the folder of the error log file\n"
    "  BRAE_CONSOLE      1: the console it was started from; json (letters in any case): JSON lines for\n"
    "                    programs; unset or 0: the window\n"
    "  BRAE_CONSOLE_LOG  1: in the console, also write the diagnostic log live to stderr\n";
constexpr char kLogPlaces[] =
    " in %BRAE_LOG_DIR%,\n"
    "  else in c:\\Temp (made when missing), or where that cannot be, in %LOCALAPPDATA%\\brae-update\n";
constexpr char kSeparator[] = "\\";
constexpr char kTemplatePlaces[] =
    "                            from the page template brae-update.html beside this program\n";
#else
constexpr char kUsageHead[] =
    "Usage: brae-update [options]\n"
    "Updates the firmware of a Veltrona Series Brae weighing indicator on a serial port, or writes a copy\n"
    "of this program that carries a firmware image and/or a loader. With a display it opens its window,\n"
    "otherwise it runs in the terminal.\n";
constexpr char kEnvironment[] =
    "Environment:\n"
    "  BRAE_PORT_DIR     ComN opens $BRAE_PORT_DIR/comN and nothing else (simulated indicators); unset,\n"
    "                    ComN is the N-th serial device, USB adapters first (brae-ports lists them)\n"
    "  BRAE_LOG_DIR      the directory of the error log file\n"
    "  BRAE_CONSOLE      1: the terminal; json (letters in any case): JSON lines for programs on stdout,\n"
    "                    the text on stderr; 0: the window; unset: the window when there is a display\n"
    "  BRAE_CONSOLE_LOG  1: in the terminal, also write the diagnostic log live to stderr\n";
constexpr char kLogPlaces[] =
    " in $BRAE_LOG_DIR,\n"
    "  else in ${XDG_STATE_HOME:-$HOME/.local/state}/brae-update\n";
constexpr char kSeparator[] = "/";
constexpr char kTemplatePlaces[] =
    "                            from the page template brae-update.html beside this program or in\n"
    "                            the package's data folder\n";
#endif

}  // namespace

std::string UsageText(const std::string& logDirectory) {
  std::string text =
      std::string(kUsageHead) +
      "\n"
      "  (no arguments)            update from the loader and firmware this program carries\n"
      "  /i b.bin                  update from the firmware file, with the loader this program "
      "carries\n"
      "  /i b.bin b.s19            update from both files\n"
      "  /u Name b.bin [/l b.s19]  write Name.exe: a copy of this program carrying the file(s)\n"
      "  /w Name b.bin [/l b.s19]  (also --web Name) write Name.html: the web page carrying the file(s),\n" +
      kTemplatePlaces +
      "  /l b.s19                  write UpdateLoad.exe: a copy carrying the loader\n"
      "  /b                        the indicator is already in its boot loader\n"
      "  /x                        end as soon as the update ends, also after success\n"
      "  /p NAME, --port NAME      update on this port only (repeat for more, tried in order): COM37,\n"
      "                            a device such as /dev/ttyUSB0, or rfc2217://HOST:PORT; without it\n"
      "                            Com1 to Com25 are tried\n"
      "  /all, --all               update every indicator found at once, each on its own port (Com1 to\n"
      "                            Com25, or the /p ports); one log file per port\n"
      "  --check, /check           identify the indicator and check that the firmware suits it; nothing is\n"
      "                            changed on the indicator (no baud change, no boot loader, no erase).\n"
      "                            With /all: every indicator found. Exit 0 when every indicator that\n"
      "                            answered fits\n"
      "  --timeout SECONDS         (also --timeout=SECONDS) end the run when SECONDS pass without\n"
      "                            progress (no indicator answered yet, or no step forward since the last\n"
      "                            one); exit code 3 (1 when an indicator had answered). Without it the\n"
      "                            window and the console keep trying until Exit\n"
      "  --help, -h, /?            show this text and end\n"
      "  --version                 show the version and end\n"
      "Options also take a backslash (\\u), except /x; letters in any case. Any argument at all "
      "shows the\n"
      "\"DiagnosticMode\" button. Long options also take --name=value (--port=COM3, --timeout=20).\n"
      "\n" +
      kEnvironment +
      "\n"
      "Exit codes:\n"
      "  0  updated, built, or checked and every indicator that answered fits (also --help, --version);\n"
      "     with /all: every port that opened was updated, at least one\n"
      "  1  the update failed or was stopped (Exit, Quit, a signal)\n"
      "  2  nothing was tried: the command line or a payload was refused\n"
      "  3  no indicator answered within --timeout (or, with --check, in one round of the ports)\n"
      "  4  the indicator refused the firmware: not a match, not enough space, start/end address\n"
      "     outside its heap\n"
      "\n"
      "Error log file, written at every end of an update or build:\n"
      "  " +
      kLogFileName + kLogPlaces;
  if (!logDirectory.empty()) {
    // A folder given with its separator at the end (C:\logs\) gets no second one.
    const char last = logDirectory.back();
    const bool ends = last == '/' || last == kSeparator[0];
    text += "  here: " + logDirectory + (ends ? "" : kSeparator) + kLogFileName + "\n";
  }
  return text;
}

std::string VersionText() {
  // The package's version first, then the one the window title shows.
  return std::string("brae-update ") + kProjectVersion + " (ver" + kVersionText + ")\n";
}

}  // namespace app
