// Random bytes and SHA-256 for the sign-in's PKCE verifier, challenge and state, from the
// system's CNG provider (bcrypt.dll): BCryptGenRandom with the system's preferred generator and
// the SHA-256 algorithm provider.
#include <windows.h>
// (kept apart so that include sorting leaves the order alone)
#include <bcrypt.h>

#include "win32/backends.h"

namespace kc::win32 {

namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

class CngCrypto final : public CryptoPort {
 public:
  bool RandomBytes(uint8_t* bytes, uint32_t n) override {
    return Succeeded(BCryptGenRandom(nullptr, bytes, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG));
  }

  bool Sha256(const uint8_t* data, uint32_t n, uint8_t digest[kSha256Size]) override {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!Succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
      return false;
    }
    BCRYPT_HASH_HANDLE hash = nullptr;
    // The hash object's memory is the provider's own (no buffer given), released with it.
    bool ok = Succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)) &&
              Succeeded(BCryptHashData(hash, const_cast<PUCHAR>(data), n, 0)) &&
              Succeeded(BCryptFinishHash(hash, digest, kSha256Size, 0));
    if (hash != nullptr) BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
  }
};

}  // namespace

std::unique_ptr<CryptoPort> MakeCrypto() { return std::make_unique<CngCrypto>(); }

}  // namespace kc::win32
