#include "serial/win32/dcb_map.h"

namespace commos::detail {

DCB ToNative(const Dcb& dcb, const DCB& base) {
  DCB n = base;
  n.DCBlength = sizeof n;
  n.BaudRate = dcb.BaudRate;
  const uint32_t f = dcb.Flags;
  n.fBinary = (f & fBinary) != 0;
  n.fParity = (f & fParity) != 0;
  n.fOutxCtsFlow = (f & fOutxCtsFlow) != 0;
  n.fOutxDsrFlow = (f & fOutxDsrFlow) != 0;
  n.fDtrControl = (f & fDtrControlMask) >> 4;
  n.fDsrSensitivity = (f & fDsrSensitivity) != 0;
  n.fTXContinueOnXoff = (f & fTXContinueOnXoff) != 0;
  n.fOutX = (f & fOutX) != 0;
  n.fInX = (f & fInX) != 0;
  n.fErrorChar = (f & fErrorChar) != 0;
  n.fNull = (f & fNull) != 0;
  n.fRtsControl = (f & fRtsControlMask) >> 12;
  n.fAbortOnError = (f & fAbortOnError) != 0;
  n.XonLim = dcb.XonLim;
  n.XoffLim = dcb.XoffLim;
  n.ByteSize = dcb.ByteSize;
  n.Parity = dcb.Parity;
  n.StopBits = dcb.StopBits;
  n.XonChar = dcb.XonChar;
  n.XoffChar = dcb.XoffChar;
  n.ErrorChar = dcb.ErrorChar;
  n.EofChar = dcb.EofChar;
  n.EvtChar = dcb.EvtChar;
  return n;
}

Dcb FromNative(const DCB& n) {
  Dcb dcb;
  dcb.BaudRate = n.BaudRate;
  uint32_t f = 0;
  if (n.fBinary) f |= fBinary;
  if (n.fParity) f |= fParity;
  if (n.fOutxCtsFlow) f |= fOutxCtsFlow;
  if (n.fOutxDsrFlow) f |= fOutxDsrFlow;
  f |= (static_cast<uint32_t>(n.fDtrControl) << 4) & fDtrControlMask;
  if (n.fDsrSensitivity) f |= fDsrSensitivity;
  if (n.fTXContinueOnXoff) f |= fTXContinueOnXoff;
  if (n.fOutX) f |= fOutX;
  if (n.fInX) f |= fInX;
  if (n.fErrorChar) f |= fErrorChar;
  if (n.fNull) f |= fNull;
  f |= (static_cast<uint32_t>(n.fRtsControl) << 12) & fRtsControlMask;
  if (n.fAbortOnError) f |= fAbortOnError;
  dcb.Flags = f;
  dcb.XonLim = n.XonLim;
  dcb.XoffLim = n.XoffLim;
  dcb.ByteSize = n.ByteSize;
  dcb.Parity = n.Parity;
  dcb.StopBits = n.StopBits;
  dcb.XonChar = n.XonChar;
  dcb.XoffChar = n.XoffChar;
  dcb.ErrorChar = n.ErrorChar;
  dcb.EofChar = n.EofChar;
  dcb.EvtChar = n.EvtChar;
  return dcb;
}

}  // namespace commos::detail
