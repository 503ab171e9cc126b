// The SASL messages that carry an OAuth 2.0 access token to the mail server: XOAUTH2 (Google's
// and Microsoft's form) and OAUTHBEARER (RFC 7628), and the error a server sends back as a
// challenge.
#pragma once
#include <cstddef>

namespace kc {

enum class SaslMechanism { kNone, kXoauth2, kOauthBearer };

// The mechanism to use from the reply to CAPA: XOAUTH2 when the SASL line names it, else
// OAUTHBEARER, else kNone. offered receives the SASL line's mechanisms ("" when there is none)
// for the words of a failure.
SaslMechanism ChooseSaslMechanism(const char* capaReply, size_t length, char* offered,
                                  size_t offeredSize);
const char* SaslMechanismName(SaslMechanism mechanism);

// The initial client response, base64 encoded, NUL added: XOAUTH2
// "user=U^Aauth=Bearer T^A^A"; OAUTHBEARER "n,a=U,^Aauth=Bearer T^A^A" with ',' and '=' in the
// user escaped as RFC 5801 has it. Returns the length, 0 when it does not fit or when user or
// token holds a byte the message cannot carry (a control byte).
size_t BuildSaslResponse(SaslMechanism mechanism, const char* user, const char* token, char* out,
                         size_t size);

// The reply a client gives to an error challenge: "" for XOAUTH2, "AQ==" (one 0x01) for
// OAUTHBEARER; the server then answers with its negative reply.
const char* SaslErrorAnswer(SaslMechanism mechanism);

// A challenge after the client's response: the server's error as JSON in base64. Decodes it
// into out as text made safe for a trace line (control bytes as '?'); false when it is not
// base64. invalidToken tells whether its status names an invalid or expired token ("401",
// "invalid_token").
bool DecodeSaslError(const char* challenge, char* out, size_t size, bool* invalidToken);

}  // namespace kc
