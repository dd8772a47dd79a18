// "ComN", the name people give a serial port on every system: N is what each OS layer maps to its device.
#pragma once

#include <string>

namespace commos {

// N from "ComN" (any letter case, N >= 1), else 0.
long ComNumber(const std::string& name);

}  // namespace commos
