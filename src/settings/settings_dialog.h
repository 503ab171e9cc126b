// The settings dialog: the platform shows the form, the core fills it and judges the OK.
#pragma once
#include <cstdint>

#include "app/check_status.h"
#include "app/window.h"
#include "settings/settings.h"

namespace kc {

class SettingsDialog;

// Runs the modal form until OK is accepted or the user cancels; keeps dispatching the main
// window's messages while it is open.
class SettingsDialogPort {
 public:
  virtual ~SettingsDialogPort() = default;
  virtual void Run(WindowRef owner, SettingsDialog& dialog) = 0;
};

}  // namespace kc

namespace kc {

// The core of the dialog, shared by both front ends.
class SettingsDialog {
 public:
  SettingsDialog(Settings& settings, CheckStatus& status, RegistryPort& registry,
                 MessageBoxPort& box)
      : settings_(settings), status_(status), registry_(registry), box_(box) {}

 private:
  Settings& settings_;
  CheckStatus& status_;
  RegistryPort& registry_;
  MessageBoxPort& box_;
};

}  // namespace kc
