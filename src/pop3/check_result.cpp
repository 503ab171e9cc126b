#include "pop3/check_result.h"

#include <cstdio>
#include <cstring>

#include "pop3/poller.h"
#include "pop3/winsock_errors.h"

namespace kc {

namespace {

// " (WSAECONNRESET 10054)", or " (10099)" for a number without a name; empty for 0.
void ErrorSuffix(int32_t error, char* out, size_t size) {
  const char* name = WinSockErrorName(error);
  if (error == 0) {
    out[0] = '\0';
  } else if (name != nullptr) {
    std::snprintf(out, size, " (%s %ld)", name, static_cast<long>(error));
  } else {
    std::snprintf(out, size, " (%ld)", static_cast<long>(error));
  }
}

const char* RefusedWhat(int32_t state) {
  switch (state) {
    case CONNECTING: return "server refused the connection";
    case USER:
    case PASS: return "login refused";
    case STAT: return "server refused STAT";
    case TOP: return "server refused TOP";
    case QUIT: return "server refused QUIT";
    case STLS: return "server refused STLS (no TLS), password not sent";
    case AUTH: return "token refused by the mail server";
    default: return "server refused";
  }
}

// How a failure reads: its words, then the server name after `beforeServer` when that is set,
// then the WinSock number when withError.
struct Wording {
  CheckFailure failure;
  const char* words;
  const char* beforeServer;
  bool withError;
};

constexpr Wording kWordings[] = {
    {CheckFailure::kNetworkStart, "network could not be started", nullptr, true},
    {CheckFailure::kSettingsIncomplete,
     "settings incomplete: server, account and password are needed", nullptr, false},
    {CheckFailure::kLineBreakInCredentials, "account or password holds a line break; not sent",
     nullptr, false},
    {CheckFailure::kLookupNotStarted, "host lookup could not be started", ": ", true},
    {CheckFailure::kHostNotFound, "host not found", ": ", false},
    {CheckFailure::kLookupFailed, "host lookup failed", ": ", true},
    {CheckFailure::kNoIpv4Address, "no IPv4 address for", " ", false},
    {CheckFailure::kSocketFailed, "could not open a socket", nullptr, true},
    {CheckFailure::kConnectionLost, "connection lost", nullptr, true},
    {CheckFailure::kClosedByServer, "connection closed by the server", nullptr, false},
    {CheckFailure::kReplyTooLong, "server reply too long", nullptr, false},
    {CheckFailure::kTimedOut, "server timed out", nullptr, false},
    {CheckFailure::kCertificateNotTrusted, "certificate not trusted", nullptr, false},
    {CheckFailure::kSecureConnectionFailed, "secure connection failed", nullptr, false},
    {CheckFailure::kCertPinUnreadable, "certificate refused: the CERTPIN setting cannot be read",
     nullptr, false},
    {CheckFailure::kCertPinTooLong, "certificate refused: the CERTPIN setting is too long", nullptr,
     false},
    {CheckFailure::kCertPinMalformed,
     "certificate refused: the CERTPIN setting is not a SHA-256 fingerprint", nullptr, false},
    {CheckFailure::kCertPinWithoutTls,
     "login refused: CERTPIN is set but SSL is 0 (no TLS), password not sent", nullptr, false},
    {CheckFailure::kOAuthNeedsTls, "OAuth 2.0 needs a secured connection (SSL 1 or 2)", nullptr,
     false},
};

}  // namespace

void DescribeCheckResult(const CheckResult& r, const char* replyText, bool serverError,
                         int32_t mailCount, const char* server, char* out, size_t size) {
  if (size == 0) return;
  char suffix[48];
  ErrorSuffix(r.winsockError, suffix, sizeof suffix);
  // The server name is at most 254 bytes and the reply text 255: every line fits in 512.
  if (r.failure == CheckFailure::kNone) {
    if (serverError) {
      std::snprintf(out, size, "check failed");
    } else if (r.listingRead) {
      std::snprintf(out, size, "%ld new of %ld message%s", static_cast<long>(mailCount),
                    static_cast<long>(r.mailCount), r.mailCount == 1 ? "" : "s");
    } else {
      const char* why =
          r.noUidl == NoUidl::kUnusable ? " (UIDL listing unusable: every message counted)"
          : r.noUidl != NoUidl::kNo     ? " (no UIDL on this server: every message counted)"
                                        : "";
      std::snprintf(out, size, "%ld message%s%s", static_cast<long>(mailCount),
                    mailCount == 1 ? "" : "s", why);
    }
    return;
  }
  if (r.failure == CheckFailure::kConnectFailed) {
    const char* known = r.winsockError == 10061   ? "connection refused"
                        : r.winsockError == 10060 ? "connection timed out"
                                                  : nullptr;
    std::snprintf(out, size, "%s%s", known != nullptr ? known : "could not connect",
                  known != nullptr ? "" : suffix);
    return;
  }
  if (r.failure == CheckFailure::kRefused) {
    const bool said = replyText != nullptr && replyText[0] != '\0';
    std::snprintf(out, size, "%s%s%s", RefusedWhat(r.refusedState), said ? ": " : "",
                  said ? replyText : "");
    return;
  }
  if (r.failure == CheckFailure::kNoOAuthMechanism) {
    const bool said = replyText != nullptr && replyText[0] != '\0';
    std::snprintf(out, size, "server offers no OAuth mechanism (SASL: %s)",
                  said ? replyText : "none");
    return;
  }
  for (const Wording& w : kWordings) {
    if (w.failure != r.failure) continue;
    std::snprintf(out, size, "%s%s%s%s", w.words, w.beforeServer != nullptr ? w.beforeServer : "",
                  w.beforeServer != nullptr ? server : "", w.withError ? suffix : "");
    return;
  }
  std::snprintf(out, size, "check failed");
}

}  // namespace kc
