// The account list of the second settings dialog: its buttons (add, edit, remove, up, down),
// the rows it shows, the rules of the account dialog's OK, and the way between an account's
// settings and its form.
#pragma once
#include <cstddef>
#include <cstdint>

#include "port/settings_dialog.h"
#include "settings/settings.h"

namespace kc {

static_assert(kFormAccountsMax == kMaxAccounts - 1, "the form lists every account after the first");

// The rows the list shows, and the account dialog's OK, number the accounts as the check does:
// the first listed one is account 2.
constexpr int32_t kFirstListedAccount = 2;

// A NAME may be empty, or up to 16 bytes of printable ASCII and half-width katakana (0xA1 to
// 0xDF), which the display shows one cell each.
bool AccountNameOk(const char* name);

// The list's buttons on the form's accounts. 追加 is refused with all eight accounts in use;
// each returns false and leaves the list alone when it cannot act on `index`.
inline bool CanAddAccount(const SettingsForm& form) {
  return form.accountCount >= 0 && form.accountCount < kFormAccountsMax;
}
bool AddAccount(SettingsForm* form, const AccountForm& account);
bool ReplaceAccount(SettingsForm* form, int32_t index, const AccountForm& account);
bool RemoveAccount(SettingsForm* form, int32_t index);
// Swaps the row with the one above (step -1) or below (+1); false at either end.
bool MoveAccount(SettingsForm* form, int32_t index, int32_t step);

// The label the account is shown under when there is more than one: its name, else its user up
// to the first '@' cut to 16 bytes with '?' for a byte the display cannot show, else its number.
void AccountFormLabel(const AccountForm& account, int32_t number, char* out, size_t size);
// A row of the list: "<number>  <label>  <server> / <user>".
void AccountRowText(const AccountForm& account, int32_t number, char* out, size_t size);

// The account dialog's OK for row `index` of entered.accounts (entered.accountCount for one
// being added): nullptr when it can be used, else the text of the box that says why, written
// into `text` where it names another account. The rules are the settings dialog's (server,
// user, and the password unless OAuth 2.0 signs in; a usable port, pin and sign-in) and two of
// its own: a name the display can show, and no second account for the same mailbox (server,
// port and user) as account 1 or another listed one.
const char* AccountFormProblem(const SettingsForm& entered, int32_t index,
                               const AccountForm& account, char* text, size_t size);
// The settings dialog's OK with listed accounts: nullptr, or the box's text when account 1 as
// the form holds it is the same mailbox as a listed account.
const char* FirstAccountProblem(const SettingsForm& entered, char* text, size_t size);

// What a new account's dialog shows: every field empty, no encryption, password login.
AccountForm NewAccountForm();
// An account's settings as its form shows them; `origin` its number (2 to 8).
void FillAccountForm(const AccountSettings& account, int32_t origin, AccountForm* form);
// The form into the account's settings, over what it held: what the form does not show (the
// scope, the states the load found) stays, and so does a port only the key can hold when the
// field is left empty. The form must have passed AccountFormProblem.
void TakeAccountForm(const AccountForm& form, AccountSettings* account);

}  // namespace kc
