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
    default: return "server refused";
  }
}

}  // namespace

void DescribeCheckResult(const CheckResult& r, const char* replyText, bool serverError,
                         int32_t mailCount, const char* server, char* out, size_t size) {
  if (size == 0) return;
  char suffix[48];
  ErrorSuffix(r.winsockError, suffix, sizeof suffix);
  // The server name is at most 254 bytes and the reply text 127: every line fits in 512.
  switch (r.failure) {
    case CheckFailure::kNone:
      if (serverError) {
        std::snprintf(out, size, "check failed");
      } else {
        std::snprintf(out, size, "%ld message%s", static_cast<long>(mailCount),
                      mailCount == 1 ? "" : "s");
      }
      return;
    case CheckFailure::kNetworkStart:
      std::snprintf(out, size, "network could not be started%s", suffix);
      return;
    case CheckFailure::kSettingsIncomplete:
      std::snprintf(out, size, "settings incomplete: server, account and password are needed");
      return;
    case CheckFailure::kLineBreakInCredentials:
      std::snprintf(out, size, "account or password holds a line break; not sent");
      return;
    case CheckFailure::kLookupNotStarted:
      std::snprintf(out, size, "host lookup could not be started: %s%s", server, suffix);
      return;
    case CheckFailure::kHostNotFound:
      std::snprintf(out, size, "host not found: %s", server);
      return;
    case CheckFailure::kLookupFailed:
      std::snprintf(out, size, "host lookup failed: %s%s", server, suffix);
      return;
    case CheckFailure::kNoIpv4Address:
      std::snprintf(out, size, "no IPv4 address for %s", server);
      return;
    case CheckFailure::kSocketFailed:
      std::snprintf(out, size, "could not open a socket%s", suffix);
      return;
    case CheckFailure::kConnectFailed:
      if (r.winsockError == 10061) {
        std::snprintf(out, size, "connection refused");
      } else if (r.winsockError == 10060) {
        std::snprintf(out, size, "connection timed out");
      } else {
        std::snprintf(out, size, "could not connect%s", suffix);
      }
      return;
    case CheckFailure::kConnectionLost:
      std::snprintf(out, size, "connection lost%s", suffix);
      return;
    case CheckFailure::kClosedByServer:
      std::snprintf(out, size, "connection closed by the server");
      return;
    case CheckFailure::kReplyTooLong: std::snprintf(out, size, "server reply too long"); return;
    case CheckFailure::kTimedOut: std::snprintf(out, size, "server timed out"); return;
    case CheckFailure::kRefused:
      if (replyText != nullptr && replyText[0] != '\0') {
        std::snprintf(out, size, "%s: %s", RefusedWhat(r.refusedState), replyText);
      } else {
        std::snprintf(out, size, "%s", RefusedWhat(r.refusedState));
      }
      return;
    case CheckFailure::kCertificateNotTrusted:
      std::snprintf(out, size, "certificate not trusted");
      return;
    case CheckFailure::kSecureConnectionFailed:
      std::snprintf(out, size, "secure connection failed");
      return;
  }
  std::snprintf(out, size, "check failed");
}

}  // namespace kc
