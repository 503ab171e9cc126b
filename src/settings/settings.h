// The user's settings and the store that keeps them.
#pragma once
#include <cstdint>

#include "port/registry.h"
#include "port/settings_dialog.h"
#include "port/trace.h"

namespace kc {

constexpr uint32_t kCertPinSize = 128;  // a SHA-256 fingerprint as "AB:CD:..." fits with room
constexpr int32_t kDefaultInterval = 30;

// How the connection to the server is secured (the SSL value).
constexpr int32_t kSslNone = 0;      // plain text on the "pop3" port
constexpr int32_t kSslImplicit = 1;  // TLS from the first byte on the "pop3s" port
constexpr int32_t kSslStartTls = 2;  // STLS after the greeting, on the "pop3" port

// How the program logs in (the AUTH value).
constexpr int32_t kAuthPassword = 0;  // USER and PASS
constexpr int32_t kAuthOAuth = 1;     // SASL with an OAuth 2.0 access token

// The sign-in's text fields, NUL included.
constexpr uint32_t kOAuthProviderSize = 260;  // "microsoft", "google" or an issuer URL
constexpr uint32_t kClientIdSize = 260;
constexpr uint32_t kClientSecretSize = 260;
constexpr uint32_t kTenantSize = 128;
constexpr uint32_t kScopeSize = 512;

// How LoadSettings found one of the values that came after the first seven (SSL, PORT,
// CERTPIN), whose absence has a meaning of its own.
struct ValueFound {
  enum State : uint8_t {
    kAbsent,      // not in the key (or no key): the default holds
    kRead,        // read into its field
    kUnreadable,  // there, but not readable as its field's type: too large, of another type,
                  // or the read failed
    kTooLong,     // CERTPIN only: its text is longer than the field even without blanks and colons
  };
  State state = kAbsent;
  uint32_t type = 0;    // the registry type found (kUnreadable, kTooLong), for the trace
  uint32_t length = 0;  // its length in bytes, as the platform told it
};

// Up to eight mailboxes: account 1 is the main key's, accounts 2 to 8 its subkeys "2" to "8".
constexpr int kMaxAccounts = 8;
// The subkeys numbered 9 and above that a load passed over are kept for the trace, up to this many.
constexpr int kMaxIgnoredAccounts = 16;
// NAME, an account's short label for the display and the tooltip: ASCII or half-width katakana,
// at most 16 cells (one display row), NUL included.
constexpr uint32_t kAccountNameSize = 17;

// What each account holds of its own: where and how it logs in, and what it counts.
struct AccountSettings {
  char server[kServerSize] = {};
  char user[kUserSize] = {};
  char password[kPasswordSize] = {};  // plain in memory, complemented when stored
  int32_t ssl = kSslNone;             // kSslNone, kSslImplicit or kSslStartTls
  int32_t port = 0;                   // 0: the service's port
  char certPin[kCertPinSize] = {};    // SHA-256 fingerprint of the one certificate accepted
  // What the key held of SSL, PORT and CERTPIN: an unreadable SSL secures the connection, an
  // unreadable or too long CERTPIN refuses every certificate, and a save writes each of the
  // three only when the key held it or its field differs from the default.
  ValueFound sslFound, portFound, certPinFound;
  // Count only the messages not seen yet (UIDL): on for any value but 0. NEWONLY is written
  // back only when it was stored already or is on, so a program that never had it on leaves
  // the key as it always was.
  int32_t newOnly = 0;
  bool newOnlyStored = false;
  // The sign-in. AUTH 1 logs in with an OAuth 2.0 token instead of the password; each value
  // is written back only when the key held it or it differs from its default, so a key that
  // never had them stays as it was.
  int32_t auth = kAuthPassword;
  char oauth[kOAuthProviderSize] = {};
  char clientId[kClientIdSize] = {};
  char clientSecret[kClientSecretSize] = {};  // Google's desktop clients have one; plain text
  char tenant[kTenantSize] = {};              // Microsoft only; empty means "common"
  char scope[kScopeSize] = {};                // empty means the provider's mail scope
  uint8_t oauthStored = 0;                    // kStored... bits: what the key held
  // NAME: the label shown beside the account's count and senders when there is more than one
  // account. Account 1's is written to the main key only once it was stored or is set.
  char name[kAccountNameSize] = {};
  bool nameStored = false;
  // The subkey ("2".."8") the account was loaded from or last saved to, 0 for none: the states
  // above tell of that subkey. Saved to another one (the list was reordered, or the account is
  // new), the account's values replace whatever the subkey's former account left there.
  int32_t storedIn = 0;
};

// The settings: account 1 (the main key's values, the base) and what all accounts share.
struct Settings : AccountSettings {
  int32_t interval = kDefaultInterval;  // minutes between periodic checks
  int32_t listSenders = 1;              // on only when exactly 1
  int32_t ledAuto = 1;                  // stored and edited only
  char mailer[kMailerSize] = {};        // program path, optionally a blank and arguments
  // A desktop notification when a check finds mail the user was not told of: on for any value
  // but 0; written back, as NEWONLY, only once it was stored or is on.
  int32_t notify = 0;
  bool notifyStored = false;
  // Accounts 2 to 8, in the order they are checked and shown; the first moreCount are in use.
  AccountSettings more[kMaxAccounts - 1];
  int32_t moreCount = 0;
  // The subkeys numbered 9 or more that the last load found and ignored, in number order:
  // their names, for TraceIgnoredAccounts. A save leaves them in the key as they are.
  char ignoredAccounts[kMaxIgnoredAccounts][kSubKeyNameSize] = {};
  int32_t ignoredCount = 0;
};

// The account with the number 1 to 1 + moreCount: 1 is the settings' own.
inline AccountSettings& AccountAt(Settings& s, int number) {
  return number <= 1 ? static_cast<AccountSettings&>(s) : s.more[number - 2];
}
inline const AccountSettings& AccountAt(const Settings& s, int number) {
  return number <= 1 ? static_cast<const AccountSettings&>(s) : s.more[number - 2];
}
inline int AccountCount(const Settings& s) { return 1 + s.moreCount; }

// The bits of Settings::oauthStored.
constexpr uint8_t kStoredAuth = 1, kStoredOAuth = 2, kStoredClientId = 4, kStoredClientSecret = 8,
                  kStoredTenant = 16, kStoredScope = 32;

inline bool UsesOAuth(const AccountSettings& s) { return s.auth == kAuthOAuth; }

// Server, user and password are all set: a check can run. With AUTH 1 the password is not
// used and not asked for: server and user (the mailbox address) are enough.
bool SettingsComplete(const char* server, const char* user, const char* password);
bool SettingsComplete(const AccountSettings& settings);

// The connection is secured for every SSL value but 0, so a value a newer or older program
// wrote never sends the password in the clear. An SSL value that is there but cannot be read
// as a DWORD loads as kSslImplicit; only an absent one means plain text.
inline bool UsesTls(const AccountSettings& s) { return s.ssl != kSslNone; }
inline bool UsesStartTls(const AccountSettings& s) { return s.ssl == kSslStartTls; }

// Reads the main key (account 1 and the shared values), then the subkeys "2" to "8" that exist,
// in number order, into more[] (a missing number is passed over). Subkeys numbered 9 or more
// are noted in ignoredAccounts; other subkeys are none of the settings' business.
void LoadSettings(Settings& settings, RegistryPort& registry);
// Writes the seven values, then SSL, PORT and CERTPIN where the key held them or their fields
// differ from the defaults; a CERTPIN or PORT the load could not read is left in the key as it
// is. What it wrote then counts as held by the key. Accounts 2 to 1 + moreCount go to the
// subkeys "2" onwards in their order, each with the same rules; the subkeys up to "8" beyond
// them are removed. Values the program does not know stay where they are.
void SaveSettings(Settings& settings, RegistryPort& registry);

// One trace line for each subkey the last load ignored: "Account %s ignored: at most 8
// accounts".
void TraceIgnoredAccounts(const Settings& settings, TracePort& trace);

}  // namespace kc
