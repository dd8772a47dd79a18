// SHA-256 on Linux: libgcrypt, which every Debian system has.
#include <gcrypt.h>

#include <stdexcept>
#include <string>

#include "payload/Digest.h"

namespace payload {
namespace {

// The oldest libgcrypt whose SHA-256 this was built and tested with (Debian 12 has 1.10.1).
constexpr char kGcryptVersion[] = "1.8.0";

// libgcrypt must be initialised once, before its first use, by gcry_check_version; the rest of the program
// never touches it, so this is the one place. Only hashes are used: no secure memory is needed.
void InitialiseOnce() {
  static const bool ready = [] {
    if (gcry_check_version(kGcryptVersion) == nullptr) {
      throw std::runtime_error(std::string("libgcrypt ") + gcry_check_version(nullptr) + " is older than " +
                               kGcryptVersion);
    }
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)ready;
}

}  // namespace

Sha256 Sha256Of(const uint8_t* bytes, size_t n) {
  InitialiseOnce();
  static_assert(sizeof(Sha256) == 32);
  Sha256 digest;
  gcry_md_hash_buffer(GCRY_MD_SHA256, digest.data(), bytes, n);
  return digest;
}

}  // namespace payload
