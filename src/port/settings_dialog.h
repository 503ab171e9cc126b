// The settings dialog: the platform shows a form of the settings and lets the user edit it; the
// core judges each OK.
#pragma once
#include <cstdint>

#include "port/window.h"

namespace kc {

// The sizes of the settings' text fields, NUL included.
constexpr uint32_t kServerSize = 255, kUserSize = 80, kPasswordSize = 80, kMailerSize = 260;
// The port field's text ("65535" and room) and the certificate pin field (a SHA-256
// fingerprint as "AB:CD:..." fits with room).
constexpr uint32_t kPortTextSize = 16, kCertPinTextSize = 128;
// The sign-in's fields: the provider ("microsoft", "google" or an issuer URL), the client ID,
// the client secret and the tenant.
constexpr uint32_t kProviderTextSize = 260, kClientIdTextSize = 260, kClientSecretTextSize = 260,
                   kTenantTextSize = 128;

// The items of the login list, in the order it shows them.
constexpr int32_t kLoginPassword = 0;
constexpr int32_t kLoginOAuth = 1;
constexpr int32_t kLoginCount = 2;

// The items of the encryption list, in the order it shows them.
constexpr int32_t kEncryptionNone = 0;
constexpr int32_t kEncryptionTls = 1;
constexpr int32_t kEncryptionStartTls = 2;
constexpr int32_t kEncryptionCount = 3;

// The accounts after the first that the form lists, and the account dialog's name field: wide
// enough to hold a name longer than the 16 bytes a name may have, so the judge can say so.
constexpr int32_t kFormAccountsMax = 7;
constexpr uint32_t kAccountNameTextSize = 64;

// One account of the list as its dialog shows and reads it: the fields the second dialog has for
// the first account, with its own name, server, user and password.
struct AccountForm {
  char name[kAccountNameTextSize]{};
  char server[kServerSize]{};
  char user[kUserSize]{};
  char password[kPasswordSize]{};
  int32_t encryption{kEncryptionNone};
  char port[kPortTextSize]{};
  char certPin[kCertPinTextSize]{};
  bool newOnlyChecked{false};
  int32_t login{kLoginPassword};
  char provider[kProviderTextSize]{};
  char clientId[kClientIdTextSize]{};
  char clientSecret[kClientSecretTextSize]{};
  char tenant[kTenantTextSize]{};
  // The number of the stored account the row came from (2 to 8), so that what the form does not
  // show of it is kept through any reordering; 0 for an account added in this form.
  int32_t origin{0};
};

// What the form's controls hold: texts already cut to their fields as the platform reads them
// back (254, 79, 79 and 259 bytes), the interval as the platform's unsigned number reading
// gives it, and the two check boxes. The fields after those are the second dialog's,
// "詳細設定", which the platform keeps while it is closed and reads back with the first.
struct SettingsForm {
  char server[kServerSize]{};
  char user[kUserSize]{};
  char password[kPasswordSize]{};
  char mailer[kMailerSize]{};
  uint32_t interval{0};
  bool intervalOk{false};
  bool listChecked{false};
  bool ledChecked{false};
  int32_t encryption{kEncryptionNone};  // the encryption list's selection
  bool newOnlyChecked{false};           // "新着のみ": count only the messages not seen yet
  bool notifyChecked{false};            // "通知": a notification when new mail arrives
  char port[kPortTextSize]{};           // empty: the service's port
  char certPin[kCertPinTextSize]{};     // empty: the system's trust decides
  int32_t login{kLoginPassword};        // the login list's selection
  char provider[kProviderTextSize]{};
  char clientId[kClientIdTextSize]{};
  char clientSecret[kClientSecretTextSize]{};
  char tenant[kTenantTextSize]{};
  // Shown only: the program can sign in (the サインイン button works), and a refresh token is
  // kept for the provider, client and account the form holds.
  bool signInAvailable{false};
  bool tokenStored{false};
  // The second dialog's account list: accounts 2 to 1 + accountCount, in the order they are
  // checked.
  AccountForm accounts[kFormAccountsMax]{};
  int32_t accountCount{0};
};

// Judges the form when the user presses OK.
class SettingsFormJudge {
 public:
  virtual ~SettingsFormJudge() = default;
  // True: the entry is taken and the form closes; *kept (when not null) then holds the values
  // as they were kept, an interval the rules replaced included. False: the user was told why
  // (a box) and the form stays open.
  virtual bool Judge(const SettingsForm& entered, SettingsForm* kept) = 0;
  // The second dialog's OK: true when its fields can be used (the form then keeps them until
  // the first dialog's OK or Cancel); false after a box that says why (it stays open).
  virtual bool JudgeAdvanced(const SettingsForm& entered) = 0;
  // The サインイン button: starts a sign-in with the provider, client and account the form
  // holds (a box says why not). The sign-in goes on in the main window's messages while the
  // form stays open.
  virtual void SignIn(const SettingsForm& entered) = 0;
  // Whether a refresh token is kept for what the form holds, for the button's state.
  virtual bool TokenStored(const SettingsForm& entered) = 0;
  // The account dialog's OK for the row `index` of entered.accounts (accountCount for an
  // account being added): true when the account can be used, false after a box that says why
  // (the account dialog stays open). The list takes it only after a true.
  virtual bool JudgeAccount(const SettingsForm& entered, int32_t index,
                            const AccountForm& account) = 0;
};

// Runs the modal form, showing `shown`, until an OK is taken or the user cancels; keeps
// dispatching the main window's messages while it is open.
class SettingsDialogPort {
 public:
  virtual ~SettingsDialogPort() = default;
  virtual void Run(WindowRef owner, const SettingsForm& shown, SettingsFormJudge& judge) = 0;
};

}  // namespace kc
