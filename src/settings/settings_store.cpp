#include "settings/settings.h"

namespace kc {

// Placeholder until the store lands.
void LoadSettings(Settings&, RegistryPort&) {}
void SaveSettings(const Settings&, RegistryPort&) {}

}  // namespace kc
