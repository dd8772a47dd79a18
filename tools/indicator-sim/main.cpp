// brae-indicator-sim: a simulated indicator on a pseudo-terminal or a real serial device. This file reads
// the options, opens the transcript and runs the loop (loop.h).
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "loop.h"
#include "options.h"
#include "transcript.h"

int main(int argc, char** argv) {
  using namespace sim;
  auto parsed = parse_options(std::vector<std::string>(argv + 1, argv + argc));
  if (parsed.kind == ParseResult::Kind::Help) {
    std::fputs(help_text(), stdout);
    return 0;
  }
  if (parsed.kind == ParseResult::Kind::Error) {
    std::fprintf(stderr, "brae-indicator-sim: %s\n", parsed.error.c_str());
    return 2;
  }
  const Options& o = parsed.options;

  std::FILE* out = o.quiet ? nullptr : stderr;
  if (!o.transcript.empty()) {
    out = std::fopen(o.transcript.c_str(), "w");
    if (!out) {
      std::fprintf(stderr, "brae-indicator-sim: cannot open transcript %s: %s\n", o.transcript.c_str(),
                   std::strerror(errno));
      return 3;
    }
  }
  struct sigaction sa {};
  sa.sa_handler = request_stop;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Transcript transcript(out, Clock::now());
  int rc = run_simulator(o, transcript);
  if (out && out != stderr) std::fclose(out);
  return rc;
}
