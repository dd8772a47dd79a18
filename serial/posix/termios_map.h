// How a device control block becomes a terminal setting. Kept apart so tests can check the mapping on the
// record itself: a pseudo-terminal forces 8 data bits and no parity, so reading one back cannot show it.
#pragma once

#include <termios.h>

#include "serial/CommOs.h"

namespace commos::detail {

struct TermiosPlan {
  termios tio{};
  bool ok = false;          // false: the block asks for something a terminal cannot do (e.g. 4 data bits)
  bool customBaud = false;  // the rate is outside the classic table and must be set separately
  bool setDtr = false;      // the DTR and RTS lines the block asks for
  bool setRts = false;
};

// Raw mode, CLOCAL|CREAD, VMIN = VTIME = 0, then the block's rate, framing and flow control on top of base.
TermiosPlan BuildTermios(const Dcb& dcb, const termios& base);
// The classic speed constant for a rate, or 0 when there is none.
speed_t ClassicSpeed(uint32_t baud);

}  // namespace commos::detail
