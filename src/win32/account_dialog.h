// The dialog of one account after the first, IDD_ACCOUNT, opened from the account list of the
// second settings dialog.
#pragma once
#include <windows.h>

#include "port/settings_dialog.h"

namespace kc::win32 {

// Shows *account modal over `owner` until an OK the judge takes (true, *account then holds what
// the dialog held) or Cancel (false, *account unchanged). `entered`: the settings form as it
// stands, the list included; `index`: the account's row in it (accountCount for a new one).
bool RunAccountDialog(HWND owner, SettingsFormJudge& judge, const SettingsForm& entered,
                      int32_t index, AccountForm* account);

}  // namespace kc::win32
