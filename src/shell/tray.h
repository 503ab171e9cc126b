// The tray icon: its picture follows the state, its tooltip tells the next check time.
#pragma once
#include <cstddef>
#include <cstdint>

#include "port/clock.h"
#include "port/tray.h"
#include "port/window.h"
#include "settings/settings.h"

namespace kc {

// One account's line in the tooltip when there is more than one account.
struct TipAccount {
  char label[17] = {};
  int32_t count = 0;
  bool failed = false;
};

// The tooltip of several accounts: text, then "\n<label> <count>" or "\n<label> エラー" for each
// account, all within limit bytes (NUL excluded); labels are cut evenly when the lines do not
// fit, and accounts whose lines no longer fit at all are left out.
void ComposeAccountsTip(const char* text, const TipAccount* accounts, int count, char* out,
                        size_t limit);

class Tray {
 public:
  Tray(TrayPort& port, ClockPort& clock, const Settings& settings, const WindowRef& mainWindow);
  void AddTrayIcon();
  void UpdateTrayIcon(int type);
  // Takes the icon away when the program ends.
  void RemoveTrayIcon();
  // Adds the icon again with its current picture and tooltip, after the shell's taskbar was
  // created anew (Explorer restarted). Nothing happens before the icon was first added.
  void ReAddTrayIcon();
  int ShowTrayMenu(WindowRef window);
  // With more than one account: the accounts' lines the tooltip adds from now on.
  void SetAccounts(const TipAccount* accounts, int count);
  const TrayIconRecord& record() const { return record_; }

 private:
  void FillRecord(uint32_t icon);

  TrayPort& port_;
  ClockPort& clock_;
  const Settings& settings_;
  const WindowRef& mainWindow_;
  TrayIconRecord record_;
  bool added_ = false;
  TipAccount accounts_[kMaxAccounts];
  int accountCount_ = 0;
};

// The icon type's picture: 0 to 3 give IDI_IDLE to IDI_BUSY; 0 for any other type.
uint32_t TrayIconFor(int type);

// The menu item that marks the messages of the last check seen: "既読にする".
extern const char kMenuMarkSeen[];
// The sign-in's item, shown when the account logs in with OAuth 2.0.
extern const char kMenuSignIn[];

// The tooltip texts, in code page 932.
extern const char kTrayTip[];
extern const char kTrayTipNextCheck[];  // format with the next check time "hh:mm"
// What stands in the tooltip for a next check time that local time cannot represent.
extern const char kTrayNoTime[];

}  // namespace kc
