#include "settings/account_form.h"

#include <cstring>

#include "settings/account_identity.h"
#include "settings/form_fields.h"
#include "text/bounded.h"
#include "text/cp932.h"

namespace kc {

namespace {

constexpr char kBadNameText[] = "名前には半角の英数字・記号・カナを 16 文字までで入力してください";
constexpr char kSameMailboxText[] =
    "アカウント %ld と同じメールボックス (POP3サーバーネーム、ポート、アカウントが同じ) です";

constexpr size_t kNameBytes = kAccountNameSize - 1;

bool ValidIndex(const SettingsForm& form, int32_t index) {
  return index >= 0 && index < form.accountCount && form.accountCount <= kFormAccountsMax;
}

// The port the connection uses: the field's number, else the service's port for the
// encryption.
int32_t EffectivePort(const char* portText, int32_t encryption) {
  int32_t port = 0;
  if (!ReadPortText(portText, &port)) port = 0;
  return MailboxPort(port, encryption != kEncryptionNone && encryption != kEncryptionStartTls);
}

const char* SameMailboxText(int32_t number, char* text, size_t size) {
  FormatBounded(text, size, kSameMailboxText, static_cast<long>(number));
  return text;
}

}  // namespace

bool AccountNameOk(const char* name) {
  size_t n = 0;
  for (; name[n] != '\0'; ++n) {
    if (n >= kNameBytes || !LabelByte(static_cast<unsigned char>(name[n]))) return false;
  }
  return true;
}

bool AddAccount(SettingsForm* form, const AccountForm& account) {
  if (!CanAddAccount(*form)) return false;
  form->accounts[form->accountCount] = account;
  ++form->accountCount;
  return true;
}

bool ReplaceAccount(SettingsForm* form, int32_t index, const AccountForm& account) {
  if (!ValidIndex(*form, index)) return false;
  form->accounts[index] = account;
  return true;
}

bool RemoveAccount(SettingsForm* form, int32_t index) {
  if (!ValidIndex(*form, index)) return false;
  for (int32_t i = index; i + 1 < form->accountCount; ++i)
    form->accounts[i] = form->accounts[i + 1];
  --form->accountCount;
  form->accounts[form->accountCount] = AccountForm{};
  return true;
}

bool MoveAccount(SettingsForm* form, int32_t index, int32_t step) {
  if (step != 1 && step != -1) return false;
  const int32_t other = index + step;
  if (!ValidIndex(*form, index) || !ValidIndex(*form, other)) return false;
  const AccountForm held = form->accounts[index];
  form->accounts[index] = form->accounts[other];
  form->accounts[other] = held;
  return true;
}

void AccountFormLabel(const AccountForm& account, int32_t number, char* out, size_t size) {
  ComposeAccountLabel(account.name, sizeof account.name, account.user, sizeof account.user, number,
                      out, size);
}

void AccountRowText(const AccountForm& account, int32_t number, char* out, size_t size) {
  char label[kAccountNameSize];
  AccountFormLabel(account, number, label, sizeof label);
  FormatBounded(out, size, "%ld  %s  %s / %s", static_cast<long>(number), label, account.server,
                account.user);
}

const char* AccountFormProblem(const SettingsForm& entered, int32_t index,
                               const AccountForm& account, char* text, size_t size) {
  if (!AccountNameOk(account.name)) return kBadNameText;
  const bool oauth = account.login == kLoginOAuth;
  if (account.server[0] == '\0' || account.user[0] == '\0' ||
      (!oauth && account.password[0] == '\0')) {
    return kIncompleteText;
  }
  if (oauth) {
    // A token is as good as a password to whoever reads the line: never in the clear.
    if (account.encryption == kEncryptionNone) return kOAuthNeedsTlsText;
    if (account.provider[0] == '\0') return kNoProviderText;
  }
  int32_t port = 0;
  if (!ReadPortText(account.port, &port)) return kBadPortText;
  if (!PinTextOk(account.certPin)) return kBadPinText;

  const int32_t mine = EffectivePort(account.port, account.encryption);
  if (SameMailbox(entered.server, entered.user, EffectivePort(entered.port, entered.encryption),
                  account.server, account.user, mine)) {
    return SameMailboxText(1, text, size);
  }
  for (int32_t i = 0; i < entered.accountCount && i < kFormAccountsMax; ++i) {
    if (i == index) continue;
    const AccountForm& other = entered.accounts[i];
    if (SameMailbox(other.server, other.user, EffectivePort(other.port, other.encryption),
                    account.server, account.user, mine)) {
      return SameMailboxText(i + kFirstListedAccount, text, size);
    }
  }
  return nullptr;
}

const char* FirstAccountProblem(const SettingsForm& entered, char* text, size_t size) {
  const int32_t mine = EffectivePort(entered.port, entered.encryption);
  for (int32_t i = 0; i < entered.accountCount && i < kFormAccountsMax; ++i) {
    const AccountForm& other = entered.accounts[i];
    if (SameMailbox(other.server, other.user, EffectivePort(other.port, other.encryption),
                    entered.server, entered.user, mine)) {
      return SameMailboxText(i + kFirstListedAccount, text, size);
    }
  }
  return nullptr;
}

AccountForm NewAccountForm() { return AccountForm{}; }

void FillAccountForm(const AccountSettings& account, int32_t origin, AccountForm* form) {
  *form = AccountForm{};
  CopyField(form->name, sizeof form->name, account.name);
  CopyField(form->server, sizeof form->server, account.server);
  CopyField(form->user, sizeof form->user, account.user);
  CopyField(form->password, sizeof form->password, account.password);
  // Any secured value the list does not name shows as TLS, which is how it connects.
  form->encryption = account.ssl == kSslNone       ? kEncryptionNone
                     : account.ssl == kSslStartTls ? kEncryptionStartTls
                                                   : kEncryptionTls;
  if (account.port > 0 && account.port <= 65535) {
    FormatBounded(form->port, sizeof form->port, "%ld", static_cast<long>(account.port));
  }
  CopyField(form->certPin, sizeof form->certPin, account.certPin);
  form->newOnlyChecked = account.newOnly != 0;
  form->login = UsesOAuth(account) ? kLoginOAuth : kLoginPassword;
  CopyField(form->provider, sizeof form->provider, account.oauth);
  CopyField(form->clientId, sizeof form->clientId, account.clientId);
  CopyField(form->clientSecret, sizeof form->clientSecret, account.clientSecret);
  CopyField(form->tenant, sizeof form->tenant, account.tenant);
  form->origin = origin;
}

void TakeAccountForm(const AccountForm& form, AccountSettings* account) {
  CopyField(account->name, sizeof account->name, form.name);
  CopyField(account->server, sizeof account->server, form.server);
  CopyField(account->user, sizeof account->user, form.user);
  CopyField(account->password, sizeof account->password, form.password);
  // A list with nothing chosen keeps the connection as it was rather than dropping TLS.
  switch (form.encryption) {
    case kEncryptionNone: account->ssl = kSslNone; break;
    case kEncryptionTls: account->ssl = kSslImplicit; break;
    case kEncryptionStartTls: account->ssl = kSslStartTls; break;
    default: break;
  }
  int32_t port = 0;
  ReadPortText(form.port, &port);
  // A value out of the port's range that the key holds shows as an empty field; left empty,
  // it stays as it was rather than turning into the service's port.
  const bool portShownEmpty = account->port <= 0 || account->port > 65535;
  if (!(portShownEmpty && port == 0)) account->port = port;
  CopyField(account->certPin, sizeof account->certPin, form.certPin);
  // Once on, the value is kept in the store, so turning it off again is saved too.
  account->newOnly = form.newOnlyChecked ? 1 : 0;
  if (account->newOnly != 0) account->newOnlyStored = true;
  // Only the two items of the list change AUTH; a value another program wrote stays.
  if (form.login == kLoginPassword) account->auth = kAuthPassword;
  if (form.login == kLoginOAuth) account->auth = kAuthOAuth;
  CopyField(account->oauth, sizeof account->oauth, form.provider);
  CopyField(account->clientId, sizeof account->clientId, form.clientId);
  CopyField(account->clientSecret, sizeof account->clientSecret, form.clientSecret);
  CopyField(account->tenant, sizeof account->tenant, form.tenant);
}

}  // namespace kc
