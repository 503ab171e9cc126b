#include "pop3/sasl_exchange.h"

#include <cstring>

#include "text/bounded.h"

namespace kc {

bool SaslExchange::Begin(const char* capaReply, size_t length) {
  challenges_ = 0;
  refused_ = false;
  invalidToken_ = false;
  mechanism_ = ChooseSaslMechanism(capaReply, length, offered_, sizeof offered_);
  if (mechanism_ == SaslMechanism::kNone) return false;
  lineLength_ = FormatBounded(line_, sizeof line_, "AUTH %s\r\n", SaslMechanismName(mechanism_));
  return true;
}

size_t SaslExchange::OnChallenge(const char* response, const char* user, char* errorText,
                                 size_t errorSize) {
  CopyBounded(errorText, errorSize, "");
  std::memset(line_, 0, lineLength_);
  lineLength_ = 0;
  if (++challenges_ == 1) {
    if (!hasToken()) return 0;
    size_t n = BuildSaslResponse(mechanism_, user, token_, line_, sizeof line_ - 2);
    if (n == 0) return 0;
    std::memcpy(line_ + n, "\r\n", 3);
    lineLength_ = n + 2;
    return lineLength_;
  }
  // A challenge after the response carries the server's error: it is read for the trace and
  // answered, and the negative reply that follows ends the exchange.
  const char* text = response + 1;
  while (*text == ' ') ++text;
  // The line as framed may still end in its carriage return.
  char challenge[1400];
  size_t n = CopyBounded(challenge, sizeof challenge, text);
  while (n > 0 && (challenge[n - 1] == '\r' || challenge[n - 1] == ' ')) challenge[--n] = '\0';
  bool invalid = false;
  if (!DecodeSaslError(challenge, errorText, errorSize, &invalid)) {
    CopyBounded(errorText, errorSize, "(not base64)");
  }
  invalidToken_ = invalidToken_ || invalid;
  lineLength_ = FormatBounded(line_, sizeof line_, "%s\r\n", SaslErrorAnswer(mechanism_));
  return lineLength_;
}

void SaslExchange::End(bool refused) {
  refused_ = refused;
  std::memset(line_, 0, sizeof line_);
  lineLength_ = 0;
}

void SaslExchange::Reset() {
  End(false);
  token_ = nullptr;
  mechanism_ = SaslMechanism::kNone;
  challenges_ = 0;
  invalidToken_ = false;
  offered_[0] = '\0';
}

}  // namespace kc
