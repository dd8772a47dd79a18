#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

namespace sim {

const char* help_text() {
  return R"(Usage: brae-indicator-sim (--link PATH | --device TTY) [options]

A simulated Series Brae indicator on a serial line: firmware commands, loader upload,
boot loader erase and image transfer, with configurable answers and injected faults.

The device:
  firmware      {ZA1} {ZE1} {SEHA1} -> ^; {SCPC} {VFSH} {VC} {VW} {FT} {PS<start>,<end>} ->
                a text in brackets; {SEBX<rate>} -> ^, then the device runs at <rate>;
                {PM} -> ^, then S-record text: Q after the terminating record when every
                record was sound, else no Q and the firmware goes on. Anything else: silence.
  boot loader   (after the Q, or with --boot) silent to commands. U -> T, erase, V;
                size, 4 bytes LSB first, 1 to 1048576 -> W; each 1000-byte block and 0xA5
                -> Z; the last, shorter block -> X; CRC-16/ARC, low byte first -> Y when it
                matches, then a restart into the new firmware at the power-on rate. A wrong
                size, marker or CRC gets no answer; a U after silence starts over.

Line:
  --link PATH           open a pseudo-terminal and link its slave at PATH (an existing
                        symlink there is replaced; the link is removed on exit)
  --device TTY          serve a real serial device instead (its rate follows the device's)
  --rate BAUD           rate at power-on (default 9600); the updater's rate is read from the
                        terminal settings, and bytes at a different rate become garbage both ways
  --pace                send and take bytes at the wire rate, baud/10 bytes per second
  --boot                power on in the boot loader: silent to commands, answers "U"

Answers:
  --port-type TEXT      answer to {SCPC} (default 0; 0 or 1 first is a cable port)
  --bluetooth           the same as --port-type 2
  --flash-size TEXT     answer to {VFSH} (default 512; 1024 or more means a large flash,
                        which the updater requires for images above 600000 bytes)
  --vc TEXT             answer to {VC} (default 1.20)
  --vw TEXT             answer to {VW} (default 1.07)
  --heap TEXT           answer to {PS<start>,<end>}: FD, F9, 14 or a hex text (default 424000)
  --ft TEXT             answer to {FT} (default 1200; 9251 or more means no space)
  --erase-ms MS         time between T and V (default 300)
  --resync-gap MS       during a transfer, a "U" after this much silence starts the erase and
                        transfer over (default 500)

Ending:
  --image-out FILE      write a confirmed image (after Y) to FILE
  --exit-after-update   end once an image is confirmed
  --timeout MS          end after MS milliseconds
  --transcript FILE     write the transcript to FILE instead of stderr
  --quiet               no transcript
  --stats               at the end, print on stderr how long the updater took from each block
                        acknowledgement (Z) leaving to the next block's first byte arriving
  Exit status: 0 an image was received and confirmed, 1 none was, 2 bad command line,
  3 the line or the image file could not be set up or written.

Faults (reproducible with --seed N, default 1):
  --silent              never answer anything
  --answer-after N[:CMD]
                        ignore the first N tries of every command, or only of CMD
                        (for example {SEBX38400} or U), and answer the next one
  --drop-ack N[:C]      leave out the Nth single-character answer (^ T V W Z X Y Q),
                        or the Nth C (e.g. 2:Z drops the second block acknowledgement);
                        the device goes on as if it had been sent
  --bad-crc-once        the first CRC check fails (no Y) whatever was received
  --drop-prob P         lose each byte, either way, with probability P (0..1)
  --garble-prob P       flip one bit of each byte, either way, with probability P (0..1)
  --vanish-after N[:MS] after N bytes received, close the line (pty and link go away, the
                        updater sees a hang-up) and come back after MS ms (default 1000)
                        with a new pty at the same link; the device keeps its state
  --stuck-xoff N[:MS]   after N bytes received (0: at once), send XOFF and never XON, or
                        with MS the XON MS milliseconds later (the line held that long)
  --help                this text
)";
}

namespace {

std::optional<long long> to_int(const std::string& s, long long lo, long long hi) {
  if (s.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return std::nullopt;
  return v;
}

std::optional<double> to_prob(const std::string& s) {
  if (s.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (errno != 0 || *end != '\0' || !(v >= 0.0 && v <= 1.0)) return std::nullopt;
  return v;
}

// Answer texts go between brackets: printable, and no bracket that would end the answer early.
bool answer_text_ok(const std::string& s) {
  for (unsigned char c : s)
    if (c < 32 || c > 126 || c == '[' || c == ']' || c == '(' || c == ')') return false;
  return s.size() <= 200;
}

}  // namespace

ParseResult parse_options(const std::vector<std::string>& args) {
  ParseResult r;
  Options& o = r.options;
  auto fail = [&r](std::string msg) {
    r.kind = ParseResult::Kind::Error;
    r.error = std::move(msg);
    return r;
  };

  using Handler = std::function<std::string(const std::string&)>;  // returns an error text
  auto integer = [](long long* out, long long lo, long long hi) -> Handler {
    return [=](const std::string& v) -> std::string {
      auto n = to_int(v, lo, hi);
      if (!n) return "expects a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
      *out = *n;
      return {};
    };
  };
  auto text = [](std::string* out) -> Handler {
    return [=](const std::string& v) -> std::string {
      if (!answer_text_ok(v)) return "expects printable text without brackets, at most 200 characters";
      *out = v;
      return {};
    };
  };
  auto path = [](std::string* out) -> Handler {
    return [=](const std::string& v) -> std::string {
      if (v.empty()) return "expects a path";
      *out = v;
      return {};
    };
  };
  auto prob = [](double* out) -> Handler {
    return [=](const std::string& v) -> std::string {
      auto p = to_prob(v);
      if (!p) return "expects a probability from 0 to 1";
      *out = *p;
      return {};
    };
  };

  long long rate = o.dev.start_rate, erase = o.dev.erase_time.count(), gap = o.dev.resync_gap.count();
  long long timeout = 0, vanish = 0, xoff = 0, seed = 1;
  bool have_timeout = false, have_xoff = false, have_vanish = false;

  std::map<std::string, Handler> with_value = {
      {"--link", path(&o.link)},
      {"--device", path(&o.device)},
      {"--rate",
       [&](const std::string& v) -> std::string {
         auto n = to_int(v, 1, 4000000);
         if (!n || (*n != 1200 && *n != 2400 && *n != 4800 && *n != 9600 && *n != 19200 && *n != 38400 &&
                    *n != 57600 && *n != 115200))
           return "expects one of 1200 2400 4800 9600 19200 38400 57600 115200";
         rate = *n;
         return {};
       }},
      {"--port-type", text(&o.dev.port_type)},
      {"--flash-size", text(&o.dev.flash_size)},
      {"--vc", text(&o.dev.vc)},
      {"--vw", text(&o.dev.vw)},
      {"--heap", text(&o.dev.heap)},
      {"--ft", text(&o.dev.ft)},
      {"--erase-ms", integer(&erase, 0, 600000)},
      {"--resync-gap", integer(&gap, 1, 600000)},
      {"--image-out", path(&o.image_out)},
      {"--transcript", path(&o.transcript)},
      {"--timeout",
       [&](const std::string& v) {
         have_timeout = true;
         return integer(&timeout, 1, 86400000)(v);
       }},
      {"--seed", integer(&seed, 0, 0x7FFFFFFFFFFFFFFFLL)},
      {"--answer-after",
       [&](const std::string& v) -> std::string {
         auto colon = v.find(':');
         auto n = to_int(v.substr(0, colon), 1, 1000000);
         if (!n) return "expects N[:CMD] with N from 1 to 1000000";
         o.dev.answer_after = static_cast<int>(*n);
         if (colon != std::string::npos) {
           o.dev.answer_after_cmd = v.substr(colon + 1);
           if (o.dev.answer_after_cmd.empty()) return "expects a command after ':' (for example {ZA1} or U)";
         }
         return {};
       }},
      {"--drop-ack",
       [&](const std::string& v) -> std::string {
         auto colon = v.find(':');
         auto n = to_int(v.substr(0, colon), 1, 100000000);
         if (!n) return "expects N[:C] with N from 1";
         o.dev.drop_ack = static_cast<int>(*n);
         if (colon != std::string::npos) {
           std::string c = v.substr(colon + 1);
           if (c.size() != 1 || std::string("^TVWZXYQ").find(c[0]) == std::string::npos)
             return "expects one of the answers ^ T V W Z X Y Q after ':'";
           o.dev.drop_ack_char = c[0];
         }
         return {};
       }},
      {"--drop-prob", prob(&o.drop_prob)},
      {"--garble-prob", prob(&o.garble_prob)},
      {"--vanish-after",
       [&](const std::string& v) -> std::string {
         auto colon = v.find(':');
         auto n = to_int(v.substr(0, colon), 0, 0x7FFFFFFFFFFFLL);
         if (!n) return "expects N[:MS] with N a byte count";
         vanish = *n;
         have_vanish = true;
         if (colon != std::string::npos) {
           auto ms = to_int(v.substr(colon + 1), 0, 3600000);
           if (!ms) return "expects MS from 0 to 3600000 after ':'";
           o.vanish_ms = *ms;
         }
         return {};
       }},
      {"--stuck-xoff",
       [&](const std::string& v) -> std::string {
         auto colon = v.find(':');
         auto n = to_int(v.substr(0, colon), 0, 0x7FFFFFFFFFFFLL);
         if (!n) return "expects N[:MS] with N a byte count";
         xoff = *n;
         have_xoff = true;
         if (colon != std::string::npos) {
           auto ms = to_int(v.substr(colon + 1), 1, 3600000);
           if (!ms) return "expects MS from 1 to 3600000 after ':'";
           o.xon_ms = *ms;
         }
         return {};
       }},
  };
  std::map<std::string, bool*> flags = {
      {"--pace", &o.pace},         {"--boot", &o.dev.boot},
      {"--silent", &o.dev.silent}, {"--bad-crc-once", &o.dev.bad_crc_once},
      {"--quiet", &o.quiet},       {"--exit-after-update", &o.exit_after_update},
      {"--stats", &o.stats},
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i], value;
    bool inline_value = false;
    if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inline_value = true;
    }
    if (name == "--help" || name == "-h") {
      r.kind = ParseResult::Kind::Help;
      return r;
    }
    if (name == "--bluetooth" && !inline_value) {
      o.dev.port_type = "2";
      continue;
    }
    if (auto f = flags.find(name); f != flags.end()) {
      if (inline_value) return fail(name + " takes no value");
      *f->second = true;
      continue;
    }
    auto h = with_value.find(name);
    if (h == with_value.end()) return fail("unknown option '" + args[i] + "' (see --help)");
    if (!inline_value) {
      if (i + 1 >= args.size()) return fail(name + " needs a value");
      value = args[++i];
    }
    if (std::string err = h->second(value); !err.empty()) return fail(name + " '" + value + "': " + err);
  }

  if (o.link.empty() == o.device.empty()) return fail("give exactly one of --link PATH and --device TTY");
  o.dev.start_rate = static_cast<int>(rate);
  o.dev.erase_time = std::chrono::milliseconds(erase);
  o.dev.resync_gap = std::chrono::milliseconds(gap);
  o.seed = static_cast<std::uint64_t>(seed);
  if (have_timeout) o.timeout_ms = timeout;
  if (have_vanish) o.vanish_after = vanish;
  if (have_xoff) o.xoff_after = xoff;
  if (o.quiet && !o.transcript.empty()) return fail("--quiet and --transcript exclude each other");
  return r;
}

}  // namespace sim
