// Random bytes and SHA-256 from OpenSSL, which the TLS back end links already.
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "posix/backends.h"

namespace kc::posix {

namespace {

class OpenSslCrypto final : public CryptoPort {
 public:
  bool RandomBytes(uint8_t* bytes, uint32_t n) override {
    return RAND_bytes(bytes, static_cast<int>(n)) == 1;
  }
  bool Sha256(const uint8_t* data, uint32_t n, uint8_t digest[kSha256Size]) override {
    unsigned int size = 0;
    return EVP_Digest(data, n, digest, &size, EVP_sha256(), nullptr) == 1 && size == kSha256Size;
  }
};

}  // namespace

std::unique_ptr<CryptoPort> MakeCrypto() { return std::make_unique<OpenSslCrypto>(); }

}  // namespace kc::posix
