// Why the last check ended as it did, kept by the poller for front ends that tell the user in
// words (the Linux console). The Windows program shows the described boxes and LCD texts only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "pop3/sender_table.h"

namespace kc {

class UidlTally;

enum class CheckFailure : int32_t {
  kNone = 0,            // the check ran to the reply to QUIT without a negative reply
  kNetworkStart,        // WinSock could not be started
  kSettingsIncomplete,  // server, user or password empty
  kLineBreakInCredentials,
  kLookupNotStarted,  // the asynchronous lookup could not be started
  kHostNotFound,      // the name does not exist (WSAHOST_NOT_FOUND, WSANO_DATA)
  kLookupFailed,      // any other lookup error
  kNoIpv4Address,
  kSocketFailed,            // socket() or WSAAsyncSelect() failed
  kConnectFailed,           // connect() or FD_CONNECT reported an error
  kConnectionLost,          // recv() failed
  kClosedByServer,          // the server closed before the reply to QUIT
  kReplyTooLong,            // a reply overran the receive buffer
  kTimedOut,                // the server stayed silent too long
  kRefused,                 // a negative reply; state and reply text say to what
  kCertificateNotTrusted,   // the server's certificate was refused
  kSecureConnectionFailed,  // the TLS session could not be made or broke; no login was sent
  // CERTPIN is there but unusable, so every certificate was refused; no login was sent.
  kCertPinUnreadable,  // not a text, or its read failed
  kCertPinTooLong,     // longer than a fingerprint even without blanks and colons
  kCertPinMalformed,   // not 64 hex digits
  kCertPinWithoutTls,  // a CERTPIN with SSL 0: the check was refused before it connected
  // AUTH 1 (OAuth 2.0): nothing of the login was sent.
  kOAuthNeedsTls,     // SSL 0: a token travels only inside TLS
  kNoOAuthMechanism,  // the server lists neither XOAUTH2 nor OAUTHBEARER (reply text: its SASL)
};

// Why a check with the new-only option counted every message instead of the new ones.
enum class NoUidl : int32_t {
  kNo = 0,   // the listing was read (or the option is off)
  kRefused,  // the server answered UIDL with a negative reply
  kSilent,   // the server did not answer UIDL at an earlier check: it was not asked
  kUnusable  // the listing did not cover the mailbox or held malformed lines
};

// What a check found, handed to the controller when the check has ended.
struct CheckResult {
  bool failed = false;    // a negative reply, or the check could not run to its end
  int32_t mailCount = 0;  // first number of the STAT reply; 0 before it
  // The poller's table, slot i the sender of message i + 1; valid until the next check starts.
  const SenderTable* senders = nullptr;
  CheckFailure failure = CheckFailure::kNone;
  int32_t winsockError = 0;  // the WinSock number, when the failure has one
  int32_t refusedState = 0;  // AppState that got the negative reply (kRefused)

  // The new-only option: the reply to UIDL was read and the messages told apart.
  bool listingRead = false;
  int32_t newCount = 0;                // messages not in the seen list
  bool baseline = false;               // there was no list: every message was taken as seen
  bool takeAll = false;                // every message was taken as seen (baseline included)
  const UidlTally* listing = nullptr;  // the poller's; valid until the next check starts
  NoUidl noUidl = NoUidl::kNo;         // every message was counted, and why
  bool uidlTimedOut = false;           // the server stayed silent after UIDL
};

// The outcome of a check in English, one line: "3 messages", "1 message", "host not found:
// pop.example.com", "connection refused", "login refused: -ERR ...", "server timed out", ...
// replyText: the server's negative reply for a refusal, as the poller kept it ("" for none).
// serverError tells a check that ended badly without a recorded reason. When the check read
// the UIDL listing, mailCount is the number of new messages and the line reads
// "2 new of 7 messages"; when the option could not tell new messages apart the line says so:
// "7 messages (no UIDL on this server: every message counted)".
void DescribeCheckResult(const CheckResult& result, const char* replyText, bool serverError,
                         int32_t mailCount, const char* server, char* out, size_t size);

}  // namespace kc
