// The settings dialog as a form on the Linux console: the dialog's controls, texts and tab
// order, edited with keys; the rules of OK are the shared core's (SettingsDialog).
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "posix/console.h"
#include "settings/settings_dialog.h"

namespace kc::posix {

class SettingsFormModel {
 public:
  // The form's controls. Their order on the screen, which is also the order Tab and Shift+Tab
  // follow, is the table in settings_dialog.cpp: a new field is one row there.
  enum Control : int {
    kServer,
    kUser,
    kPassword,
    kMailer,
    kInterval,
    kList,
    kLed,
    kAdvanced,  // "詳細設定": opens the second page, as the dialog's button opens its second
    kOk,
    kCancel,
    // The second page, 詳細設定.
    kEncryption,
    kPort,
    kCertPin,
    kLogin,  // password or OAuth 2.0; the four below and the button only with OAuth 2.0
    kProvider,
    kClientId,
    kClientSecret,
    kTenant,
    kSignIn,
    kNewOnly,  // "新着のみ": count only the messages not seen yet
    kNotify,   // "通知": a notification when new mail arrives
    kAdvancedOk,
    kAdvancedCancel,
    kAccounts,  // "アカウント一覧": opens the page of accounts 2 to 8
    // The page of accounts: the list (Up and Down choose a row) and its buttons.
    kAccountList,
    kAccountAdd,
    kAccountEdit,
    kAccountRemove,
    kAccountUp,
    kAccountDown,
    kAccountsBack,
    // The page of one account: the fields of the first page and of 詳細設定 that each account
    // has of its own.
    kAccountName,
    kAccountServer,
    kAccountUser,
    kAccountPassword,
    kAccountEncryption,
    kAccountPort,
    kAccountCertPin,
    kAccountLogin,
    kAccountProvider,
    kAccountClientId,
    kAccountClientSecret,
    kAccountTenant,
    kAccountNewOnly,
    kAccountOk,
    kAccountCancel,
    kControlCount
  };
  // kAdvancedOk: the second page's OK; the caller asks the judge and, if it agrees, calls
  // CloseAdvanced(true); otherwise the page stays open. kSignIn: the サインイン button; the
  // caller starts the sign-in and tells SetTokenStored what the store then holds.
  // kAccountOk: the account page's OK; the caller asks the judge about ReadAccount for row
  // editingIndex() and, if it agrees, calls CloseAccount(true).
  enum class Outcome { kNone, kOk, kCancel, kAdvancedOk, kSignIn, kAccountOk };
  // 詳細設定 opens the page of accounts, which opens the page of one account; Esc goes back
  // one page.
  enum class Page { kMain, kAdvanced, kAccounts, kAccount };

  SettingsFormModel();
  // Fills the controls as the dialog does when it opens; the focus is on OK.
  void Load(const SettingsForm& form);
  // pasted: the key came inside a paste, where a line break or a tab is text, not a command.
  Outcome OnKey(KeyCode code, bool pasted = false);
  // One character in code page 932 (1 or 2 bytes).
  Outcome OnChar(const char* ch, size_t n);
  // What the controls hold, read back as the dialog reads them on OK.
  void Read(SettingsForm* form) const;
  // Back to the first page: keeping what the second page holds, or as it was when it opened.
  void CloseAdvanced(bool keep);
  // The account page's fields as an account of the list (its origin that of the row it edits).
  void ReadAccount(AccountForm* account) const;
  // Back to the page of accounts: the edited or added row taken into the list, or dropped.
  void CloseAccount(bool keep);
  // The row the account page edits; the number of rows while it adds one.
  int32_t editingIndex() const { return editing_; }
  // The chosen row of the account list.
  int32_t selectedAccount() const { return selected_; }
  int32_t accountCount() const { return listed_.accountCount; }
  Page page() const { return page_; }
  void SetTokenStored(bool stored) { tokenStored_ = stored; }
  // The control takes no focus now: the LED box, the password with OAuth 2.0, the sign-in's
  // fields without it, and the サインイン button where the program cannot sign in.
  bool Off(Control control) const;
  int32_t login() const { return login_; }

  Control focus() const { return focus_; }
  const EditField& edit(Control control) const { return edits_[control]; }
  bool checked(Control control) const { return checks_[control]; }
  int32_t encryption() const { return encryption_; }
  // What the form says about the last key it refused or cut (code page 932); empty if none.
  const std::string& note() const { return note_; }

  // The form's rows in code page 932, `columns` wide at most; with `attributes` the focus, the
  // caret and the disabled box are shown with terminal attributes, otherwise only with the
  // '>' in the first column of the focused row.
  std::vector<std::string> Render(bool attributes, size_t columns) const;

 private:
  void MoveFocus(int step);
  EditField* FocusedEdit();
  void OpenAdvanced();
  void OpenAccounts();
  void OpenAccount(int32_t index);
  // A button of the account list; the focus leaves a button the list turned off.
  void OnListButton(Control button);
  // The item a list control shows, and its next or previous item.
  const char* ChoiceText(Control control) const;
  void StepChoice(Control control, int step);
  // Space or Enter on the focused control: its button's outcome.
  Outcome Push(bool enter);

  Page page_ = Page::kMain;
  SettingsForm advancedAtOpen_;  // the second page as it opened, for its Cancel
  Control focus_ = kOk;
  EditField edits_[kControlCount];
  bool checks_[kControlCount] = {};
  int32_t encryption_ = kEncryptionNone;
  int32_t login_ = kLoginPassword;
  bool signInAvailable_ = false;
  bool tokenStored_ = false;
  // The accounts after the first (only accounts and accountCount are used), the chosen row,
  // the row the account page edits, and the account page's two lists.
  SettingsForm listed_;
  int32_t selected_ = 0;
  int32_t editing_ = 0;
  int32_t editingOrigin_ = 0;
  int32_t accountEncryption_ = kEncryptionNone;
  int32_t accountLogin_ = kLoginPassword;
  std::string note_;
};

// The program was ended because it has no settings and no terminal to ask for them.
bool EndedForMissingSettings();

// What to tell a user who has no terminal for the form (code page 932): where the settings file
// is and the lines to put in it, with the current values of `form` where they are set.
std::string SettingsFileHelp(const std::string& path, const SettingsForm& form);

}  // namespace kc::posix
