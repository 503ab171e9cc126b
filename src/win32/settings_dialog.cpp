// The settings dialog on Windows: the resource template IDD_SETTINGS run by DialogBoxParamA,
// and from its button 詳細設定 the second template IDD_ADVANCED, modal over the first.
#include <cstring>

#include "resource.h"
#include "settings/account_form.h"
#include "win32/account_dialog.h"
#include "win32/backends.h"
#include "win32/dialog_controls.h"

namespace kc::win32 {

namespace {

// What the open dialog works on, handed to it through DialogBoxParamA's parameter and kept in
// the dialog window's user data.
struct OpenForm {
  const SettingsForm* shown;
  SettingsFormJudge* judge;
  HWND* open;  // the port's record of the open dialog
  // What the second dialog's controls held at its last OK (at first what was shown); read
  // back with the first dialog's controls at its OK, dropped at its Cancel.
  SettingsForm kept;
  // The account list while the second dialog is open: taken into `kept` at its OK.
  SettingsForm listed;
};

OpenForm* FormOf(HWND dialog) {
  return reinterpret_cast<OpenForm*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
}

// -- the second dialog, 詳細設定 ---------------------------------------------------------------

// The sign-in group follows the login list: its fields take input only with OAuth 2.0, and
// the button works only where the program can sign in.
void ShowLogin(HWND dialog, const SettingsForm& form) {
  const bool oauth = EnableSignInFields(dialog);
  EnableWindow(GetDlgItem(dialog, IDC_SIGNIN), oauth && form.signInAvailable ? TRUE : FALSE);
  const char* state = !form.signInAvailable ? ""
                      : form.tokenStored    ? "サインイン済み"
                                            : "未サインイン";
  SetDlgItemTextA(dialog, IDC_TOKENSTATE, oauth ? state : "");
}

void OnAdvancedInit(HWND dialog, const SettingsForm& form) {
  FillList(dialog, IDC_ENCRYPTION, kEncryptionItems, kEncryptionCount, form.encryption);
  SetDlgItemTextA(dialog, IDC_PORT, form.port);
  SetDlgItemTextA(dialog, IDC_CERTPIN, form.certPin);
  FillList(dialog, IDC_AUTH, kLoginItems, kLoginCount, form.login);
  // The provider list offers the two known ones; an issuer URL is typed into its field.
  FillList(dialog, IDC_OAUTH, kProviderItems, 2, -1);
  SetDlgItemTextA(dialog, IDC_OAUTH, form.provider);
  SetDlgItemTextA(dialog, IDC_CLIENTID, form.clientId);
  SetDlgItemTextA(dialog, IDC_CLIENTSECRET, form.clientSecret);
  SetDlgItemTextA(dialog, IDC_TENANT, form.tenant);
  SendDlgItemMessageA(dialog, IDC_NEWONLY, BM_SETCHECK, CheckState(form.newOnlyChecked), 0);
  SendDlgItemMessageA(dialog, IDC_NOTIFY, BM_SETCHECK, CheckState(form.notifyChecked), 0);
  ShowLogin(dialog, form);
}

// Reads the second dialog's controls over the fields of `form` they show.
void ReadAdvanced(HWND dialog, SettingsForm* form) {
  form->encryption = ListSelection(dialog, IDC_ENCRYPTION);
  ReadText(dialog, IDC_PORT, form->port, sizeof form->port);
  ReadText(dialog, IDC_CERTPIN, form->certPin, sizeof form->certPin);
  form->login = ListSelection(dialog, IDC_AUTH);
  ReadProvider(dialog, form->provider, sizeof form->provider);
  ReadText(dialog, IDC_CLIENTID, form->clientId, sizeof form->clientId);
  ReadText(dialog, IDC_CLIENTSECRET, form->clientSecret, sizeof form->clientSecret);
  ReadText(dialog, IDC_TENANT, form->tenant, sizeof form->tenant);
  form->newOnlyChecked = IsChecked(dialog, IDC_NEWONLY);
  form->notifyChecked = IsChecked(dialog, IDC_NOTIFY);
}

// The first dialog as it reads back on its OK: what the second one kept and its own controls.
void ReadMain(HWND dialog, const SettingsForm& kept, SettingsForm* form);

// -- the account list of the second dialog ------------------------------------------------------

int32_t ChosenAccount(HWND dialog) {
  LRESULT chosen = SendDlgItemMessageA(dialog, IDC_ACCOUNTS, LB_GETCURSEL, 0, 0);
  return chosen == LB_ERR ? -1 : static_cast<int32_t>(chosen);
}

// The buttons follow the list: 追加 only below eight accounts in all, the others only with a
// row chosen that they can act on.
void ShowAccountButtons(HWND dialog, const SettingsForm& listed) {
  const int32_t chosen = ChosenAccount(dialog);
  const bool any = chosen >= 0 && chosen < listed.accountCount;
  EnableWindow(GetDlgItem(dialog, IDC_ACCOUNTADD), CanAddAccount(listed) ? TRUE : FALSE);
  EnableWindow(GetDlgItem(dialog, IDC_ACCOUNTEDIT), any ? TRUE : FALSE);
  EnableWindow(GetDlgItem(dialog, IDC_ACCOUNTREMOVE), any ? TRUE : FALSE);
  EnableWindow(GetDlgItem(dialog, IDC_ACCOUNTUP), any && chosen > 0 ? TRUE : FALSE);
  EnableWindow(GetDlgItem(dialog, IDC_ACCOUNTDOWN),
               any && chosen + 1 < listed.accountCount ? TRUE : FALSE);
}

void ShowAccounts(HWND dialog, const SettingsForm& listed, int32_t chosen) {
  SendDlgItemMessageA(dialog, IDC_ACCOUNTS, LB_RESETCONTENT, 0, 0);
  for (int32_t i = 0; i < listed.accountCount && i < kFormAccountsMax; ++i) {
    char row[kServerSize + kUserSize + 40];
    AccountRowText(listed.accounts[i], i + kFirstListedAccount, row, sizeof row);
    SendDlgItemMessageA(dialog, IDC_ACCOUNTS, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(row));
  }
  if (chosen >= 0 && chosen < listed.accountCount) {
    SendDlgItemMessageA(dialog, IDC_ACCOUNTS, LB_SETCURSEL, static_cast<WPARAM>(chosen), 0);
  }
  ShowAccountButtons(dialog, listed);
}

// 追加 (index = the number of rows) or 編集: the account's dialog, judged against the settings
// as both dialogs hold them now; its OK puts the row into the list.
void EditAccount(HWND dialog, OpenForm& open, int32_t index) {
  SettingsForm entered;
  ReadMain(GetParent(dialog), open.kept, &entered);
  ReadAdvanced(dialog, &entered);
  std::memcpy(entered.accounts, open.listed.accounts, sizeof entered.accounts);
  entered.accountCount = open.listed.accountCount;
  AccountForm account =
      index < open.listed.accountCount ? open.listed.accounts[index] : NewAccountForm();
  if (!RunAccountDialog(dialog, *open.judge, entered, index, &account)) return;
  if (index < open.listed.accountCount) {
    ReplaceAccount(&open.listed, index, account);
  } else if (!AddAccount(&open.listed, account)) {
    return;
  }
  ShowAccounts(dialog, open.listed, index);
}

void OnAccountCommand(HWND dialog, OpenForm& open, int id, int code) {
  const int32_t chosen = ChosenAccount(dialog);
  switch (id) {
    case IDC_ACCOUNTS:
      if (code == LBN_SELCHANGE) ShowAccountButtons(dialog, open.listed);
      if (code == LBN_DBLCLK && chosen >= 0) EditAccount(dialog, open, chosen);
      break;
    case IDC_ACCOUNTADD:
      if (CanAddAccount(open.listed)) EditAccount(dialog, open, open.listed.accountCount);
      break;
    case IDC_ACCOUNTEDIT:
      if (chosen >= 0) EditAccount(dialog, open, chosen);
      break;
    case IDC_ACCOUNTREMOVE:
      if (RemoveAccount(&open.listed, chosen)) {
        ShowAccounts(dialog, open.listed,
                     chosen < open.listed.accountCount ? chosen : open.listed.accountCount - 1);
      }
      break;
    case IDC_ACCOUNTUP:
      if (MoveAccount(&open.listed, chosen, -1)) ShowAccounts(dialog, open.listed, chosen - 1);
      break;
    case IDC_ACCOUNTDOWN:
      if (MoveAccount(&open.listed, chosen, 1)) ShowAccounts(dialog, open.listed, chosen + 1);
      break;
    default: break;
  }
}

INT_PTR CALLBACK AdvancedDialogProc(HWND dialog, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_INITDIALOG) {
    SetWindowLongPtrA(dialog, GWLP_USERDATA, lp);
    OpenForm* open = reinterpret_cast<OpenForm*>(lp);
    OnAdvancedInit(dialog, open->kept);
    open->listed = open->kept;
    ShowAccounts(dialog, open->listed, open->listed.accountCount > 0 ? 0 : -1);
    return TRUE;
  }
  OpenForm* form = FormOf(dialog);
  if (msg != WM_COMMAND || form == nullptr) return FALSE;
  switch (LOWORD(wp)) {
    case IDC_AUTH:
      if (HIWORD(wp) == CBN_SELCHANGE) ShowLogin(dialog, form->kept);
      break;
    case IDC_SIGNIN: {
      if (HIWORD(wp) != BN_CLICKED) break;
      // For the account of the first dialog and the provider of this one, as they stand now.
      SettingsForm entered;
      ReadMain(GetParent(dialog), form->kept, &entered);
      ReadAdvanced(dialog, &entered);
      form->judge->SignIn(entered);
      form->kept.tokenStored = form->judge->TokenStored(entered);
      ShowLogin(dialog, form->kept);
      break;
    }
    case IDOK: {
      // Taken only when its fields can be used; a refusal has shown its box.
      SettingsForm entered = form->kept;
      ReadAdvanced(dialog, &entered);
      std::memcpy(entered.accounts, form->listed.accounts, sizeof entered.accounts);
      entered.accountCount = form->listed.accountCount;
      if (form->judge->JudgeAdvanced(entered)) {
        form->kept = entered;
        EndDialog(dialog, IDOK);
      }
      break;
    }
    case IDCANCEL: EndDialog(dialog, IDCANCEL); break;
    case IDC_ACCOUNTS:
    case IDC_ACCOUNTADD:
    case IDC_ACCOUNTEDIT:
    case IDC_ACCOUNTREMOVE:
    case IDC_ACCOUNTUP:
    case IDC_ACCOUNTDOWN: OnAccountCommand(dialog, *form, LOWORD(wp), HIWORD(wp)); break;
    default: break;
  }
  return TRUE;
}

// -- the settings dialog ------------------------------------------------------------------------

// The password is not used with OAuth 2.0: its field takes no input then.
void ShowPassword(HWND dialog, const SettingsForm& form) {
  EnableWindow(GetDlgItem(dialog, IDC_PASSWORD), form.login == kLoginOAuth ? FALSE : TRUE);
}

void OnInitDialog(HWND dialog, const SettingsForm& form) {
  SetDlgItemTextA(dialog, IDC_SERVER, form.server);
  SetDlgItemTextA(dialog, IDC_USER, form.user);
  SetDlgItemTextA(dialog, IDC_PASSWORD, form.password);
  SetDlgItemTextA(dialog, IDC_MAILER, form.mailer);
  SetDlgItemInt(dialog, IDC_INTERVAL, form.interval, FALSE);
  SendDlgItemMessageA(dialog, IDC_LIST, BM_SETCHECK, CheckState(form.listChecked), 0);
  SendDlgItemMessageA(dialog, IDC_LED, BM_SETCHECK, CheckState(form.ledChecked), 0);
  ShowPassword(dialog, form);
}

void ReadMain(HWND dialog, const SettingsForm& kept, SettingsForm* out) {
  SettingsForm& form = *out;
  form = kept;
  ReadText(dialog, IDC_SERVER, form.server, sizeof form.server);
  ReadText(dialog, IDC_USER, form.user, sizeof form.user);
  ReadText(dialog, IDC_PASSWORD, form.password, sizeof form.password);
  ReadText(dialog, IDC_MAILER, form.mailer, sizeof form.mailer);
  BOOL translated = FALSE;
  form.interval = GetDlgItemInt(dialog, IDC_INTERVAL, &translated, FALSE);
  form.intervalOk = translated != FALSE;
  form.listChecked = IsChecked(dialog, IDC_LIST);
  form.ledChecked = IsChecked(dialog, IDC_LED);
}

void OnOk(HWND dialog, OpenForm& open) {
  SettingsForm form;
  ReadMain(dialog, open.kept, &form);
  // A refused OK has shown its box and leaves the dialog open.
  if (open.judge->Judge(form, nullptr)) EndDialog(dialog, IDOK);
}

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_INITDIALOG) {
    OpenForm* form = reinterpret_cast<OpenForm*>(lp);
    SetWindowLongPtrA(dialog, GWLP_USERDATA, lp);
    *form->open = dialog;
    OnInitDialog(dialog, *form->shown);
    return TRUE;
  }
  OpenForm* form = FormOf(dialog);
  if (msg != WM_COMMAND || form == nullptr) return FALSE;
  switch (LOWORD(wp)) {
    case IDOK: OnOk(dialog, *form); break;
    case IDC_ADVANCED:
      if (HIWORD(wp) != BN_CLICKED) break;
      DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_ADVANCED), dialog, AdvancedDialogProc,
                      reinterpret_cast<LPARAM>(form));
      ShowPassword(dialog, form->kept);
      break;
    case IDCANCEL: EndDialog(dialog, IDCANCEL); break;
    default: break;
  }
  return TRUE;
}

class Win32SettingsDialog final : public SettingsDialogPort {
 public:
  void Run(WindowRef owner, const SettingsForm& shown, SettingsFormJudge& judge) override {
    // The tray menu stays usable while the dialog is open; asking for the settings again
    // brings the open dialog forward instead of opening a second one over the same record.
    if (open_ != nullptr) {
      SetForegroundWindow(open_);
      return;
    }
    // On the heap: two copies of the form with its account list are more than a dialog
    // procedure's caller should hold on its stack.
    auto form = std::make_unique<OpenForm>();
    form->shown = &shown;
    form->judge = &judge;
    form->open = &open_;
    form->kept = shown;
    DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_SETTINGS), ToHwnd(owner), SettingsDialogProc,
                    reinterpret_cast<LPARAM>(form.get()));
    open_ = nullptr;
  }

 private:
  HWND open_ = nullptr;  // the dialog while it is open
};

}  // namespace

std::unique_ptr<SettingsDialogPort> MakeSettingsDialog() {
  return std::make_unique<Win32SettingsDialog>();
}

}  // namespace kc::win32
