// SHA-256 on Windows: the system's own (CNG, bcrypt.dll, there since Vista), so that no crypto library
// travels inside the program.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "payload/Digest.h"

namespace payload {
namespace {

void Check(NTSTATUS status, const char* call) {
  if (status >= 0) return;
  char text[96];
  std::snprintf(text, sizeof text, "SHA-256: %s failed (NTSTATUS 0x%08lX)", call,
                static_cast<unsigned long>(status));
  throw std::runtime_error(text);
}

// The provider is opened once and kept for the program's life: every digest uses it.
BCRYPT_ALG_HANDLE Provider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    Check(BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, 0),
          "BCryptOpenAlgorithmProvider");
    return h;
  }();
  return provider;
}

}  // namespace

Sha256 Sha256Of(const uint8_t* bytes, size_t n) {
  const BCRYPT_ALG_HANDLE alg = Provider();
  // Vista and 7 want the hash object's memory from the caller.
  DWORD objectSize = 0, got = 0;
  Check(BCryptGetProperty(alg, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectSize), sizeof objectSize,
                          &got, 0),
        "BCryptGetProperty");
  std::vector<UCHAR> object(objectSize);
  BCRYPT_HASH_HANDLE hash = nullptr;
  Check(BCryptCreateHash(alg, &hash, object.data(), objectSize, nullptr, 0, 0), "BCryptCreateHash");
  Sha256 digest{};
  NTSTATUS status = 0;
  const char* call = "BCryptHashData";
  // In pieces that a ULONG counts (payloads are far smaller, but the type says no more).
  for (size_t at = 0; at < n && status >= 0; at += 1u << 30) {
    const ULONG piece = static_cast<ULONG>(std::min<size_t>(n - at, 1u << 30));
    status = BCryptHashData(hash, const_cast<PUCHAR>(bytes + at), piece, 0);
  }
  if (status >= 0) {
    call = "BCryptFinishHash";
    status = BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
  }
  BCryptDestroyHash(hash);
  Check(status, call);
  return digest;
}

}  // namespace payload
