// SHA-256 in plain C++, for a platform that offers none to the program (the browser's is asynchronous). Linux
// and Windows keep their system's (payload/<os>/sha256.cpp); their tests hold this one against it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "payload/Digest.h"

namespace payload {

Sha256 PortableSha256(const uint8_t* bytes, size_t n);

}  // namespace payload
