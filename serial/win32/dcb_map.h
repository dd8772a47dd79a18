// The layer's device control block to the system's DCB and back. The flag word has the same bits as the
// DCB's bit fields, which C++ does not let us address as one word.
#pragma once

#include "serial/win32/win.h"

namespace commos::detail {

DCB ToNative(const Dcb& dcb, const DCB& base);
Dcb FromNative(const DCB& dcb);

}  // namespace commos::detail
