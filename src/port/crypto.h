// What the sign-in needs of the platform's cryptography: random bytes for the PKCE verifier
// and the state, and SHA-256 for the PKCE challenge.
#pragma once
#include <cstdint>

namespace kc {

constexpr uint32_t kSha256Size = 32;

class CryptoPort {
 public:
  virtual ~CryptoPort() = default;
  // Fills bytes from the system's secure source; false when it has none to give.
  virtual bool RandomBytes(uint8_t* bytes, uint32_t n) = 0;
  virtual bool Sha256(const uint8_t* data, uint32_t n, uint8_t digest[kSha256Size]) = 0;
};

}  // namespace kc
