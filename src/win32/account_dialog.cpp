// The dialog of one account after the first: the resource template IDD_ACCOUNT run by
// DialogBoxParamA over the second settings dialog.
#include "win32/account_dialog.h"

#include "resource.h"
#include "settings/account_form.h"
#include "settings/settings_dialog.h"
#include "text/bounded.h"
#include "win32/backends.h"
#include "win32/dialog_controls.h"

namespace kc::win32 {

namespace {

// What the open dialog works on, kept in its window's user data.
struct OpenAccount {
  SettingsFormJudge* judge;
  const SettingsForm* entered;
  int32_t index;
  AccountForm* account;
};

OpenAccount* AccountOf(HWND dialog) {
  return reinterpret_cast<OpenAccount*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
}

// As in the second dialog: the sign-in's fields take input only with OAuth 2.0, and the
// password only without it.
void ShowLogin(HWND dialog) {
  const bool oauth = EnableSignInFields(dialog);
  EnableWindow(GetDlgItem(dialog, IDC_PASSWORD), oauth ? FALSE : TRUE);
}

void OnInit(HWND dialog, const OpenAccount& open) {
  const AccountForm& a = *open.account;
  // The caption names the account by the number the check gives it.
  char caption[64];
  FormatBounded(caption, sizeof caption, "アカウント %ld",
                static_cast<long>(open.index + kFirstListedAccount));
  SetWindowTextA(dialog, caption);
  SetDlgItemTextA(dialog, IDC_NAME, a.name);
  SetDlgItemTextA(dialog, IDC_SERVER, a.server);
  SetDlgItemTextA(dialog, IDC_USER, a.user);
  SetDlgItemTextA(dialog, IDC_PASSWORD, a.password);
  FillList(dialog, IDC_ENCRYPTION, kEncryptionItems, kEncryptionCount, a.encryption);
  SetDlgItemTextA(dialog, IDC_PORT, a.port);
  SetDlgItemTextA(dialog, IDC_CERTPIN, a.certPin);
  FillList(dialog, IDC_AUTH, kLoginItems, kLoginCount, a.login);
  FillList(dialog, IDC_OAUTH, kProviderItems, 2, -1);
  SetDlgItemTextA(dialog, IDC_OAUTH, a.provider);
  SetDlgItemTextA(dialog, IDC_CLIENTID, a.clientId);
  SetDlgItemTextA(dialog, IDC_CLIENTSECRET, a.clientSecret);
  SetDlgItemTextA(dialog, IDC_TENANT, a.tenant);
  SendDlgItemMessageA(dialog, IDC_NEWONLY, BM_SETCHECK, CheckState(a.newOnlyChecked), 0);
  ShowLogin(dialog);
}

void ReadAccount(HWND dialog, AccountForm* a) {
  ReadText(dialog, IDC_NAME, a->name, sizeof a->name);
  ReadText(dialog, IDC_SERVER, a->server, sizeof a->server);
  ReadText(dialog, IDC_USER, a->user, sizeof a->user);
  ReadText(dialog, IDC_PASSWORD, a->password, sizeof a->password);
  a->encryption = ListSelection(dialog, IDC_ENCRYPTION);
  ReadText(dialog, IDC_PORT, a->port, sizeof a->port);
  ReadText(dialog, IDC_CERTPIN, a->certPin, sizeof a->certPin);
  a->login = ListSelection(dialog, IDC_AUTH);
  ReadProvider(dialog, a->provider, sizeof a->provider);
  ReadText(dialog, IDC_CLIENTID, a->clientId, sizeof a->clientId);
  ReadText(dialog, IDC_CLIENTSECRET, a->clientSecret, sizeof a->clientSecret);
  ReadText(dialog, IDC_TENANT, a->tenant, sizeof a->tenant);
  a->newOnlyChecked = IsChecked(dialog, IDC_NEWONLY);
}

INT_PTR CALLBACK AccountDialogProc(HWND dialog, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_INITDIALOG) {
    SetWindowLongPtrA(dialog, GWLP_USERDATA, lp);
    OnInit(dialog, *reinterpret_cast<OpenAccount*>(lp));
    return TRUE;
  }
  OpenAccount* open = AccountOf(dialog);
  if (msg != WM_COMMAND || open == nullptr) return FALSE;
  switch (LOWORD(wp)) {
    case IDC_AUTH:
      if (HIWORD(wp) == CBN_SELCHANGE) ShowLogin(dialog);
      break;
    case IDOK: {
      // Taken only when the judge agrees; a refusal has shown its box and the dialog stays.
      AccountForm entered = *open->account;  // keeps the row's origin
      ReadAccount(dialog, &entered);
      if (open->judge->JudgeAccount(*open->entered, open->index, entered)) {
        *open->account = entered;
        EndDialog(dialog, IDOK);
      }
      break;
    }
    case IDCANCEL: EndDialog(dialog, IDCANCEL); break;
    default: break;
  }
  return TRUE;
}

}  // namespace

bool RunAccountDialog(HWND owner, SettingsFormJudge& judge, const SettingsForm& entered,
                      int32_t index, AccountForm* account) {
  OpenAccount open{&judge, &entered, index, account};
  return DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_ACCOUNT), owner, AccountDialogProc,
                         reinterpret_cast<LPARAM>(&open)) == IDOK;
}

}  // namespace kc::win32
