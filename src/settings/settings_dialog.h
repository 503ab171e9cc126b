// The settings dialog: the platform shows the form, the core fills it and judges the OK.
#pragma once
#include <cstdint>

#include "app/check_status.h"
#include "app/window.h"
#include "settings/settings.h"

namespace kc {

class SettingsDialog;

// Runs the modal form until OK is accepted or the user cancels; keeps dispatching the main
// window's messages while it is open.
class SettingsDialogPort {
 public:
  virtual ~SettingsDialogPort() = default;
  virtual void Run(WindowRef owner, SettingsDialog& dialog) = 0;
};

}  // namespace kc

namespace kc {

// The items of the encryption list, in the order it shows them: "なし", "SSL/TLS", "STARTTLS".
constexpr int32_t kEncryptionNone = 0;
constexpr int32_t kEncryptionTls = 1;
constexpr int32_t kEncryptionStartTls = 2;
constexpr int32_t kEncryptionCount = 3;
extern const char* const kEncryptionItems[kEncryptionCount];

// What the form's controls hold: texts already cut to their fields as the platform reads them
// back (254, 79, 79 and 259 bytes), the interval as the platform's unsigned number reading
// gives it, and the two check boxes.
struct SettingsForm {
  char server[kServerSize] = {};
  char user[kUserSize] = {};
  char password[kPasswordSize] = {};
  char mailer[kMailerSize] = {};
  uint32_t interval = 0;
  bool intervalOk = false;
  bool listChecked = false;
  bool ledChecked = false;
  int32_t encryption = kEncryptionNone;  // the encryption list's selection
};

// Reads a text as an unsigned 32-bit decimal number the way the dialog's number field is read:
// leading blanks skipped, digits up to the first other character; false (and 0) for a text that
// is empty, does not begin with a digit or does not fit in 32 bits.
bool ReadUnsignedNumber(const char* text, uint32_t* value);

// The core of the dialog, shared by both front ends.
class SettingsDialog {
 public:
  SettingsDialog(Settings& settings, CheckStatus& status, RegistryPort& registry,
                 MessageBoxPort& box)
      : settings_(settings), status_(status), registry_(registry), box_(box) {}

  // The controls' contents when the dialog opens.
  void Fill(SettingsForm* form) const;
  // OK: copies the form into the settings and applies the rules. True when the entry was
  // complete and saved (the dialog closes); false after the warning box (it stays open).
  bool Accept(const SettingsForm& form);
  const Settings& settings() const { return settings_; }

 private:
  Settings& settings_;
  CheckStatus& status_;
  RegistryPort& registry_;
  MessageBoxPort& box_;
};

}  // namespace kc
