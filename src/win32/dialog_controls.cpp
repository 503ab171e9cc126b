#include "win32/dialog_controls.h"

#include <initializer_list>

#include "resource.h"
#include "settings/settings_dialog.h"
#include "text/bounded.h"

namespace kc::win32 {

void ReadText(HWND dialog, int id, char* field, int size) {
  field[0] = '\0';
  GetWindowTextA(GetDlgItem(dialog, id), field, size);
  field[size - 1] = '\0';
}

WPARAM CheckState(bool checked) { return checked ? BST_CHECKED : BST_UNCHECKED; }

bool IsChecked(HWND dialog, int id) {
  return SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void FillList(HWND dialog, int id, const char* const* items, int count, int32_t selected) {
  for (int i = 0; i < count; ++i) {
    SendDlgItemMessageA(dialog, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(items[i]));
  }
  SendDlgItemMessageA(dialog, id, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

int32_t ListSelection(HWND dialog, int id) {
  LRESULT selected = SendDlgItemMessageA(dialog, id, CB_GETCURSEL, 0, 0);
  return selected == CB_ERR ? -1 : static_cast<int32_t>(selected);
}

void ReadProvider(HWND dialog, char* field, int size) {
  const int32_t chosen = ListSelection(dialog, IDC_OAUTH);
  if (chosen >= 0 && chosen < 2) {
    CopyField(field, static_cast<size_t>(size), kProviderItems[chosen]);
  } else {
    ReadText(dialog, IDC_OAUTH, field, size);
  }
}

bool EnableSignInFields(HWND dialog) {
  const bool oauth = ListSelection(dialog, IDC_AUTH) == kLoginOAuth;
  for (int id : {IDC_OAUTH, IDC_CLIENTID, IDC_CLIENTSECRET, IDC_TENANT}) {
    EnableWindow(GetDlgItem(dialog, id), oauth ? TRUE : FALSE);
  }
  return oauth;
}

}  // namespace kc::win32
