// The controls both settings dialogs and the account dialog read and fill the same way.
#pragma once
#include <windows.h>

#include <cstdint>

namespace kc::win32 {

// Reads an edit control's text into a field of `size` bytes; longer texts are cut.
void ReadText(HWND dialog, int id, char* field, int size);
WPARAM CheckState(bool checked);
bool IsChecked(HWND dialog, int id);
// Fills a list of items and selects one.
void FillList(HWND dialog, int id, const char* const* items, int count, int32_t selected);
int32_t ListSelection(HWND dialog, int id);
// The provider's combo box: the item chosen from the list, else the text typed.
void ReadProvider(HWND dialog, char* field, int size);
// The sign-in's fields take input only with OAuth 2.0 chosen in the login list; true when it is.
bool EnableSignInFields(HWND dialog);

}  // namespace kc::win32
