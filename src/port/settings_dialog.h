// The settings dialog: the platform shows a form of the settings and lets the user edit it; the
// core judges each OK.
#pragma once
#include <cstdint>

#include "port/window.h"

namespace kc {

// The sizes of the settings' text fields, NUL included.
constexpr uint32_t kServerSize = 255, kUserSize = 80, kPasswordSize = 80, kMailerSize = 260;

// The items of the encryption list, in the order it shows them.
constexpr int32_t kEncryptionNone = 0;
constexpr int32_t kEncryptionTls = 1;
constexpr int32_t kEncryptionStartTls = 2;
constexpr int32_t kEncryptionCount = 3;

// What the form's controls hold: texts already cut to their fields as the platform reads them
// back (254, 79, 79 and 259 bytes), the interval as the platform's unsigned number reading
// gives it, and the two check boxes.
struct SettingsForm {
  char server[kServerSize]{};
  char user[kUserSize]{};
  char password[kPasswordSize]{};
  char mailer[kMailerSize]{};
  uint32_t interval{0};
  bool intervalOk{false};
  bool listChecked{false};
  bool ledChecked{false};
  int32_t encryption{kEncryptionNone};  // the encryption list's selection
  bool newOnlyChecked{false};           // "新着のみ": count only the messages not seen yet
  bool notifyChecked{false};            // "通知": a notification when new mail arrives
};

// Judges the form when the user presses OK.
class SettingsFormJudge {
 public:
  virtual ~SettingsFormJudge() = default;
  // True: the entry is taken and the form closes; *kept (when not null) then holds the values
  // as they were kept, an interval the rules replaced included. False: the user was told why
  // (a box) and the form stays open.
  virtual bool Judge(const SettingsForm& entered, SettingsForm* kept) = 0;
};

// Runs the modal form, showing `shown`, until an OK is taken or the user cancels; keeps
// dispatching the main window's messages while it is open.
class SettingsDialogPort {
 public:
  virtual ~SettingsDialogPort() = default;
  virtual void Run(WindowRef owner, const SettingsForm& shown, SettingsFormJudge& judge) = 0;
};

}  // namespace kc
