#include "serial/posix/termios_map.h"

namespace commos::detail {

speed_t ClassicSpeed(uint32_t baud) {
  switch (baud) {
    case 50:
      return B50;
    case 75:
      return B75;
    case 110:
      return B110;
    case 134:
      return B134;
    case 150:
      return B150;
    case 200:
      return B200;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 1800:
      return B1800;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 921600:
      return B921600;
    default:
      return 0;
  }
}

TermiosPlan BuildTermios(const Dcb& dcb, const termios& base) {
  TermiosPlan plan;
  termios& t = plan.tio;
  t = base;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;

  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  switch (dcb.ByteSize) {
    case 5:
      t.c_cflag |= CS5;
      break;
    case 6:
      t.c_cflag |= CS6;
      break;
    case 7:
      t.c_cflag |= CS7;
      break;
    case 8:
      t.c_cflag |= CS8;
      break;
    default:
      return plan;  // a terminal has no 4-bit (or other) frames
  }

  t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
  switch (dcb.Parity) {
    case 0:
      break;
    case 1:
      t.c_cflag |= PARENB | PARODD;
      break;
    case 2:
      t.c_cflag |= PARENB;
      break;
    case 3:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;  // mark
    case 4:
      t.c_cflag |= PARENB | CMSPAR;
      break;  // space
    default:
      return plan;
  }

  // A terminal knows one or two stop bits; with 5 data bits two means one and a half.
  switch (dcb.StopBits) {
    case 0:
      t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
      break;
    case 1:
    case 2:
      t.c_cflag |= CSTOPB;
      break;
    default:
      return plan;
  }

  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  if (dcb.Flags & fParity) t.c_iflag |= INPCK;
  if (dcb.Flags & fOutX) t.c_iflag |= IXON;  // obey the far side's XOFF
  if (dcb.Flags & fInX) t.c_iflag |= IXOFF;  // send XOFF when our queue fills
  t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);

  const bool rtsHandshake = (dcb.Flags & fRtsControlMask) == fRtsControlHandshake;
  if ((dcb.Flags & fOutxCtsFlow) || rtsHandshake) {
    t.c_cflag |= CRTSCTS;
  } else {
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  }
  plan.setDtr = (dcb.Flags & fDtrControlMask) != 0;
  plan.setRts = (dcb.Flags & fRtsControlMask) != 0;

  if (const speed_t s = ClassicSpeed(dcb.BaudRate)) {
    cfsetispeed(&t, s);
    cfsetospeed(&t, s);
  } else {
    if (dcb.BaudRate == 0) return plan;
    plan.customBaud = true;  // set afterwards through the arbitrary-rate interface
  }
  plan.ok = true;
  return plan;
}

}  // namespace commos::detail
