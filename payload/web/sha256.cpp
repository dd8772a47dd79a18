// SHA-256 in the browser: the program's own (the page's crypto.subtle.digest only answers asynchronously).
#include "payload/Digest.h"
#include "payload/Sha256Portable.h"

namespace payload {

Sha256 Sha256Of(const uint8_t* bytes, size_t n) {
  return PortableSha256(bytes, n);
}

}  // namespace payload
