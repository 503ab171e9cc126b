// The user's settings and the store that keeps them.
#pragma once
#include <cstdint>

#include "port/registry.h"
#include "port/settings_dialog.h"

namespace kc {

constexpr uint32_t kCertPinSize = 128;  // a SHA-256 fingerprint as "AB:CD:..." fits with room
constexpr int32_t kDefaultInterval = 30;

// How the connection to the server is secured (the SSL value).
constexpr int32_t kSslNone = 0;      // plain text on the "pop3" port
constexpr int32_t kSslImplicit = 1;  // TLS from the first byte on the "pop3s" port
constexpr int32_t kSslStartTls = 2;  // STLS after the greeting, on the "pop3" port

struct Settings {
  char server[kServerSize] = {};
  char user[kUserSize] = {};
  char password[kPasswordSize] = {};    // plain in memory, complemented when stored
  int32_t interval = kDefaultInterval;  // minutes between periodic checks
  int32_t listSenders = 1;              // on only when exactly 1
  int32_t ledAuto = 1;                  // stored and edited only
  char mailer[kMailerSize] = {};        // program path, optionally a blank and arguments
  int32_t ssl = kSslNone;               // kSslNone, kSslImplicit or kSslStartTls
  int32_t port = 0;                     // 0: the service's port
  char certPin[kCertPinSize] = {};      // SHA-256 fingerprint of the one certificate accepted
  // Count only the messages not seen yet (UIDL): on for any value but 0. NEWONLY is written
  // back only when it was stored already or is on, so a program that never had it on leaves
  // the key as it always was.
  int32_t newOnly = 0;
  bool newOnlyStored = false;
};

// Server, user and password are all set: a check can run.
bool SettingsComplete(const char* server, const char* user, const char* password);
bool SettingsComplete(const Settings& settings);

// The connection is secured for every SSL value but 0, so a value a newer or older program
// wrote never sends the password in the clear.
inline bool UsesTls(const Settings& s) { return s.ssl != kSslNone; }
inline bool UsesStartTls(const Settings& s) { return s.ssl == kSslStartTls; }

void LoadSettings(Settings& settings, RegistryPort& registry);
void SaveSettings(const Settings& settings, RegistryPort& registry);

}  // namespace kc
