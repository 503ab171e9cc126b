// The POP3 AUTH exchange that logs in with an OAuth 2.0 access token (RFC 5034 with XOAUTH2 or
// OAUTHBEARER): "AUTH <mechanism>", the server's empty "+ " challenge, the base64 response
// line; an error challenge is answered as the mechanism wants and the negative reply follows.
#pragma once
#include <cstddef>
#include <cstdint>

#include "oauth/sasl.h"

namespace kc {

// The longest AUTH line: a token of more than 6,000 characters grows by a third in base64.
constexpr size_t kSaslLineSize = 16384;

class SaslExchange {
 public:
  void UseToken(const char* token) {
    Reset();
    token_ = token;
  }
  const char* token() const { return token_; }
  bool hasToken() const { return token_ != nullptr && token_[0] != '\0'; }

  // After CAPA: picks the mechanism; false when the server lists none this program speaks
  // (offered() then holds what it lists). The command to send is in line().
  bool Begin(const char* capaReply, size_t length);
  // A "+" line of the server. Returns the length of the line to send (in line()), 0 when the
  // response cannot be built (the token or the user is unusable). errorText receives the
  // decoded error of a second challenge ("" for the first).
  size_t OnChallenge(const char* response, const char* user, char* errorText, size_t errorSize);
  // The reply ended the exchange: the token was refused (a negative reply) or not.
  void End(bool refused);
  // Drops what the exchange held: the token's line and the pointer to it.
  void Reset();

  const char* line() const { return line_; }
  size_t lineLength() const { return lineLength_; }
  SaslMechanism mechanism() const { return mechanism_; }
  const char* offered() const { return offered_; }
  bool refused() const { return refused_; }
  bool invalidToken() const { return invalidToken_; }

 private:
  const char* token_ = nullptr;
  SaslMechanism mechanism_ = SaslMechanism::kNone;
  int challenges_ = 0;
  bool refused_ = false;
  bool invalidToken_ = false;
  char offered_[128] = {};
  char line_[kSaslLineSize] = {};
  size_t lineLength_ = 0;
};

}  // namespace kc
