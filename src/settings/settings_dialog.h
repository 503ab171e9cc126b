// The core of the settings dialog, shared by both front ends: what the form shows when it
// opens and the rules of its OK.
#pragma once
#include <cstdint>

#include "port/message_box.h"
#include "port/settings_dialog.h"
#include "settings/form_fields.h"
#include "settings/settings.h"

namespace kc {

// The texts of the encryption list, in the order of kEncryptionNone, kEncryptionTls and
// kEncryptionStartTls: "なし", "SSL/TLS", "STARTTLS".
extern const char* const kEncryptionItems[kEncryptionCount];

// The texts of the login list, in the order of kLoginPassword and kLoginOAuth: "パスワード",
// "OAuth 2.0".
extern const char* const kLoginItems[kLoginCount];
// The providers the provider list offers; any issuer URL may be typed instead.
extern const char* const kProviderItems[2];

// The sign-in as the settings dialog sees it, supplied by the program once it can sign in:
// whether a refresh token is kept for the given settings, and starting a sign-in for the saved
// settings (the button asks for one only when the form holds what is saved).
class SignInView {
 public:
  virtual ~SignInView() = default;
  virtual bool TokenStored(const Settings& settings) = 0;
  virtual void SignIn(const Settings& settings) = 0;
};

class SettingsDialog final : public SettingsFormJudge {
 public:
  // ready: the check cycle's mark that the settings are complete, set by every OK.
  SettingsDialog(Settings& settings, uint8_t& ready, RegistryPort& registry, MessageBoxPort& box)
      : settings_(settings), ready_(ready), registry_(registry), box_(box) {}

  // The controls' contents when the dialog opens.
  void Fill(SettingsForm* form) const;
  // OK: copies the form into the settings and applies the rules. True when the entry was
  // complete and saved (the dialog closes); false after the warning box (it stays open).
  bool Accept(const SettingsForm& form);
  bool Judge(const SettingsForm& entered, SettingsForm* kept) override;
  bool JudgeAdvanced(const SettingsForm& entered) override;
  void SignIn(const SettingsForm& entered) override;
  bool TokenStored(const SettingsForm& entered) override;
  bool JudgeAccount(const SettingsForm& entered, int32_t index,
                    const AccountForm& account) override;
  // Without a view the サインイン button is disabled.
  void UseSignIn(SignInView* view) { signIn_ = view; }
  const Settings& settings() const { return settings_; }

 private:
  // The second dialog's sign-in fields into a record.
  static void TakeSignIn(const SettingsForm& form, Settings* settings);
  // The form's account list into accounts 2 to 8.
  void TakeAccounts(const SettingsForm& form);

  Settings& settings_;
  uint8_t& ready_;
  RegistryPort& registry_;
  MessageBoxPort& box_;
  SignInView* signIn_ = nullptr;
};

}  // namespace kc
