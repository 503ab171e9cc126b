// The settings dialog as a form on the Linux console: the dialog's controls, texts and tab
// order, edited with keys; the rules of OK are the shared core's (SettingsDialog).
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "settings/settings_dialog.h"
#include "shell/console_posix.h"

namespace kc::posix {

class SettingsFormModel {
 public:
  // The controls in the dialog's tab order (the LED box is disabled and never takes focus).
  enum Control : int {
    kOk,
    kCancel,
    kServer,
    kUser,
    kPassword,
    kList,
    kLed,
    kInterval,
    kMailer,
    kEncryption,  // the list below the dialog's original rows
    kControlCount
  };
  enum class Outcome { kNone, kOk, kCancel };

  SettingsFormModel();
  // Fills the controls as the dialog does when it opens; the focus is on OK.
  void Load(const SettingsForm& form);
  Outcome OnKey(KeyCode code);
  // One character in code page 932 (1 or 2 bytes).
  Outcome OnChar(const char* ch, size_t n);
  // What the controls hold, read back as the dialog reads them on OK.
  void Read(SettingsForm* form) const;

  Control focus() const { return focus_; }
  const EditField& edit(Control control) const;
  bool checked(Control control) const { return control == kList ? list_ : led_; }
  int32_t encryption() const { return encryption_; }

  // The form's rows in code page 932, `columns` wide at most; with `attributes` the focus, the
  // caret and the disabled box are shown with terminal attributes, otherwise only with the
  // '>' in the first column of the focused row.
  std::vector<std::string> Render(bool attributes, size_t columns) const;

 private:
  void MoveFocus(int step);
  EditField* FocusedEdit();

  Control focus_ = kOk;
  EditField server_;
  EditField user_;
  EditField password_{false, true};
  EditField mailer_;
  EditField interval_{true, false};
  bool list_ = false;
  bool led_ = false;
  int32_t encryption_ = kEncryptionNone;
};

// What to tell a user who has no terminal for the form (code page 932): where the settings file
// is and the lines to put in it, with the current values of `form` where they are set.
std::string SettingsFileHelp(const std::string& path, const SettingsForm& form);

}  // namespace kc::posix
