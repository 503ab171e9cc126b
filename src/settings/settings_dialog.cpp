#include "settings/settings_dialog.h"

namespace kc {

// Placeholder until the dialog rules land.
bool ReadUnsignedNumber(const char*, uint32_t* value) {
  *value = 0;
  return false;
}
void SettingsDialog::Fill(SettingsForm*) const {}
bool SettingsDialog::Accept(const SettingsForm&) { return false; }

}  // namespace kc
