#include "settings/settings_dialog.h"

#include <cstring>

#include "settings/account_form.h"
#include "settings/form_fields.h"
#include "text/bounded.h"

namespace kc {

namespace {

constexpr int32_t kMinInterval = 5;
constexpr char kSignInNeedsText[] =
    "サインインするには POP3サーバーネーム、アカウント (メールアドレス) とプロバイダーを入力"
    "してください";
constexpr char kSaveFirstText[] =
    "変更した設定は OK で保存してください。OAuth 2.0 のサインインは保存の後に始まります";
static_assert(kCertPinTextSize == kCertPinSize && kProviderTextSize == kOAuthProviderSize &&
                  kClientIdTextSize == kClientIdSize &&
                  kClientSecretTextSize == kClientSecretSize && kTenantTextSize == kTenantSize,
              "each field of the form holds what its setting holds");

// The 32 bits of an unsigned number taken as a signed one.
int32_t AsSigned(uint32_t value) {
  return value <= 0x7FFFFFFFu ? static_cast<int32_t>(value) : -static_cast<int32_t>(~value) - 1;
}

}  // namespace

const char* const kEncryptionItems[kEncryptionCount] = {"なし", "SSL/TLS", "STARTTLS"};
const char* const kLoginItems[kLoginCount] = {"パスワード", "OAuth 2.0"};
const char* const kProviderItems[2] = {"microsoft", "google"};

void SettingsDialog::Fill(SettingsForm* form) const {
  CopyField(form->server, sizeof form->server, settings_.server);
  CopyField(form->user, sizeof form->user, settings_.user);
  CopyField(form->password, sizeof form->password, settings_.password);
  CopyField(form->mailer, sizeof form->mailer, settings_.mailer);
  form->interval = static_cast<uint32_t>(settings_.interval);  // shown unsigned: -5 is 4294967291
  form->intervalOk = true;
  form->listChecked = settings_.listSenders == 1;
  form->ledChecked = settings_.ledAuto == 1;
  // Any secured value the list does not name shows as TLS, which is how it connects.
  form->encryption = settings_.ssl == kSslNone       ? kEncryptionNone
                     : settings_.ssl == kSslStartTls ? kEncryptionStartTls
                                                     : kEncryptionTls;
  form->newOnlyChecked = settings_.newOnly != 0;
  form->notifyChecked = settings_.notify != 0;
  if (settings_.port > 0 && settings_.port <= 65535) {
    FormatBounded(form->port, sizeof form->port, "%ld", static_cast<long>(settings_.port));
  } else {
    form->port[0] = '\0';  // the service's port, or a value only the key can hold
  }
  CopyField(form->certPin, sizeof form->certPin, settings_.certPin);
  form->login = UsesOAuth(settings_) ? kLoginOAuth : kLoginPassword;
  CopyField(form->provider, sizeof form->provider, settings_.oauth);
  CopyField(form->clientId, sizeof form->clientId, settings_.clientId);
  CopyField(form->clientSecret, sizeof form->clientSecret, settings_.clientSecret);
  CopyField(form->tenant, sizeof form->tenant, settings_.tenant);
  form->signInAvailable = signIn_ != nullptr;
  form->tokenStored = signIn_ != nullptr && signIn_->TokenStored(settings_);
  form->accountCount = 0;
  for (int32_t i = 0; i < kFormAccountsMax; ++i) {
    if (i < settings_.moreCount) {
      FillAccountForm(settings_.more[i], i + kFirstListedAccount, &form->accounts[i]);
      form->accountCount = i + 1;
    } else {
      form->accounts[i] = AccountForm{};
    }
  }
}

void SettingsDialog::TakeAccounts(const SettingsForm& form) {
  // Each row starts from the stored account it came from, wherever the list moved it, so what
  // the form does not show of an account goes with it; an added row starts from the defaults.
  AccountSettings taken[kFormAccountsMax];
  int32_t count = 0;
  for (int32_t i = 0; i < form.accountCount && i < kFormAccountsMax; ++i) {
    const AccountForm& row = form.accounts[i];
    const int32_t from = row.origin - kFirstListedAccount;
    if (from >= 0 && from < settings_.moreCount && from < kFormAccountsMax) {
      taken[count] = settings_.more[from];
    }
    TakeAccountForm(row, &taken[count]);
    ++count;
  }
  for (int32_t i = 0; i < kFormAccountsMax; ++i) {
    settings_.more[i] = i < count ? taken[i] : AccountSettings{};
  }
  settings_.moreCount = count;
}

bool SettingsDialog::JudgeAccount(const SettingsForm& entered, int32_t index,
                                  const AccountForm& account) {
  char text[256];
  const char* problem = AccountFormProblem(entered, index, account, text, sizeof text);
  if (problem == nullptr) return true;
  box_.Show(0, problem, kCaption);
  return false;
}

void SettingsDialog::TakeSignIn(const SettingsForm& form, Settings* settings) {
  // Only the two items of the list change AUTH; a value another program wrote stays.
  if (form.login == kLoginPassword) settings->auth = kAuthPassword;
  if (form.login == kLoginOAuth) settings->auth = kAuthOAuth;
  CopyField(settings->oauth, sizeof settings->oauth, form.provider);
  CopyField(settings->clientId, sizeof settings->clientId, form.clientId);
  CopyField(settings->clientSecret, sizeof settings->clientSecret, form.clientSecret);
  CopyField(settings->tenant, sizeof settings->tenant, form.tenant);
}

void SettingsDialog::SignIn(const SettingsForm& entered) {
  if (signIn_ == nullptr) return;
  if (entered.server[0] == '\0' || entered.user[0] == '\0' || entered.provider[0] == '\0') {
    box_.Show(0, kSignInNeedsText, kCaption);
    return;
  }
  // The sign-in is for the saved settings: one for values the user may still cancel would
  // store a token for an account the program does not use. Changed values are saved first.
  Settings trial = settings_;
  CopyField(trial.server, sizeof trial.server, entered.server);
  CopyField(trial.user, sizeof trial.user, entered.user);
  TakeSignIn(entered, &trial);
  const bool same = UsesOAuth(settings_) && trial.auth == settings_.auth &&
                    std::strcmp(trial.server, settings_.server) == 0 &&
                    std::strcmp(trial.user, settings_.user) == 0 &&
                    std::strcmp(trial.oauth, settings_.oauth) == 0 &&
                    std::strcmp(trial.clientId, settings_.clientId) == 0 &&
                    std::strcmp(trial.clientSecret, settings_.clientSecret) == 0 &&
                    std::strcmp(trial.tenant, settings_.tenant) == 0;
  if (!same) {
    box_.Show(0, kSaveFirstText, kCaption);
    return;
  }
  signIn_->SignIn(settings_);
}

bool SettingsDialog::TokenStored(const SettingsForm& entered) {
  if (signIn_ == nullptr) return false;
  Settings trial = settings_;
  CopyField(trial.user, sizeof trial.user, entered.user);
  TakeSignIn(entered, &trial);
  return signIn_->TokenStored(trial);
}

bool SettingsDialog::Accept(const SettingsForm& form) {
  // The second dialog's fields are judged first: one the program cannot use is refused with
  // its own box before anything is taken, so the record keeps the values it can connect with.
  if (!JudgeAdvanced(form)) return false;
  // Two accounts for one mailbox would count its mail twice.
  char text[256];
  if (const char* problem = FirstAccountProblem(form, text, sizeof text)) {
    box_.Show(0, problem, kCaption);
    return false;
  }
  int32_t port = 0;
  ReadPortText(form.port, &port);
  // The record takes what the user entered before the completeness test, so a refused OK
  // still leaves it there.
  CopyField(settings_.server, sizeof settings_.server, form.server);
  CopyField(settings_.user, sizeof settings_.user, form.user);
  CopyField(settings_.password, sizeof settings_.password, form.password);
  CopyField(settings_.mailer, sizeof settings_.mailer, form.mailer);
  settings_.interval = AsSigned(form.intervalOk ? form.interval : 0);
  settings_.listSenders = form.listChecked ? 1 : 0;
  settings_.ledAuto = form.ledChecked ? 1 : 0;
  // A list with nothing chosen keeps the connection as it was rather than dropping TLS.
  switch (form.encryption) {
    case kEncryptionNone: settings_.ssl = kSslNone; break;
    case kEncryptionTls: settings_.ssl = kSslImplicit; break;
    case kEncryptionStartTls: settings_.ssl = kSslStartTls; break;
    default: break;
  }
  if (!form.intervalOk || settings_.interval < kMinInterval) settings_.interval = kDefaultInterval;
  // Once on, the value is kept in the store, so turning it off again is saved too.
  settings_.newOnly = form.newOnlyChecked ? 1 : 0;
  if (settings_.newOnly != 0) settings_.newOnlyStored = true;
  settings_.notify = form.notifyChecked ? 1 : 0;
  if (settings_.notify != 0) settings_.notifyStored = true;
  // A value out of the port's range that the key holds shows as an empty field; left empty,
  // it stays as it was rather than turning into the service's port.
  const bool portShownEmpty = settings_.port <= 0 || settings_.port > 65535;
  if (!(portShownEmpty && port == 0)) settings_.port = port;
  CopyField(settings_.certPin, sizeof settings_.certPin, form.certPin);
  TakeSignIn(form, &settings_);

  if (SettingsComplete(settings_)) {
    // The list is taken only with an OK that closes the form: its rows name the accounts they
    // came from by their numbers when the form opened, which a taken list would change.
    TakeAccounts(form);
    SaveSettings(settings_, registry_);
    ready_ = 1;
    return true;
  }
  box_.Show(0, kIncompleteText, kCaption);
  ready_ = 0;
  return false;
}

bool SettingsDialog::JudgeAdvanced(const SettingsForm& form) {
  if (form.login == kLoginOAuth) {
    // A token is as good as a password to whoever reads the line: never in the clear.
    const bool plain =
        form.encryption == kEncryptionNone || (form.encryption < 0 && settings_.ssl == kSslNone);
    if (plain) {
      box_.Show(0, kOAuthNeedsTlsText, kCaption);
      return false;
    }
    if (form.provider[0] == '\0') {
      box_.Show(0, kNoProviderText, kCaption);
      return false;
    }
  }
  int32_t port = 0;
  if (!ReadPortText(form.port, &port)) {
    box_.Show(0, kBadPortText, kCaption);
    return false;
  }
  if (!PinTextOk(form.certPin)) {
    box_.Show(0, kBadPinText, kCaption);
    return false;
  }
  return true;
}

bool SettingsDialog::Judge(const SettingsForm& entered, SettingsForm* kept) {
  if (!Accept(entered)) return false;
  if (kept != nullptr) Fill(kept);
  return true;
}

}  // namespace kc
