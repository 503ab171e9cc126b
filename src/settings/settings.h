// The user's settings and the store that keeps them.
#pragma once
#include <cstdint>

#include "port/registry.h"
#include "port/settings_dialog.h"

namespace kc {

constexpr int32_t kDefaultInterval = 30;

struct Settings {
  char server[kServerSize] = {};
  char user[kUserSize] = {};
  char password[kPasswordSize] = {};    // plain in memory, complemented when stored
  int32_t interval = kDefaultInterval;  // minutes between periodic checks
  int32_t listSenders = 1;              // on only when exactly 1
  int32_t ledAuto = 1;                  // stored and edited only
  char mailer[kMailerSize] = {};        // program path, optionally a blank and arguments
};

// Server, user and password are all set: a check can run.
bool SettingsComplete(const char* server, const char* user, const char* password);
bool SettingsComplete(const Settings& settings);

void LoadSettings(Settings& settings, RegistryPort& registry);
void SaveSettings(const Settings& settings, RegistryPort& registry);

}  // namespace kc
