// The tray icon: its picture follows the state, its tooltip tells the next check time.
#pragma once
#include <cstdint>

#include "app/clock.h"
#include "app/window.h"
#include "settings/settings.h"

namespace kc {

constexpr uint32_t IDI_IDLE = 101;
constexpr uint32_t IDI_MAIL = 102;
constexpr uint32_t IDI_MANYMAIL = 103;
constexpr uint32_t IDI_BUSY = 104;
constexpr uint32_t IDR_TRAYMENU = 102;

// The notification icon record as the shell takes it.
struct TrayIconRecord {
  uint32_t cbSize = 0;
  WindowRef window = 0;
  uint32_t id = 0;
  uint32_t flags = 0;
  uint32_t callbackMessage = 0;
  uint32_t icon = 0;  // resource number of the picture
  char tip[64] = {};
};

class TrayPort {
 public:
  virtual ~TrayPort() = default;
  virtual void Add(const TrayIconRecord& record) = 0;
  virtual void Modify(const TrayIconRecord& record) = 0;
  // Takes the icon out of the notification area.
  virtual void Remove(const TrayIconRecord&) {}
  // Shows the context menu at the pointer and returns when it has closed; a chosen item
  // reaches the window as a command message.
  virtual void ShowMenu(WindowRef window) = 0;
};

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
  const TrayIconRecord& record() const { return record_; }

 private:
  void FillRecord(uint32_t icon);

  TrayPort& port_;
  ClockPort& clock_;
  const Settings& settings_;
  const WindowRef& mainWindow_;
  TrayIconRecord record_;
  bool added_ = false;
};

// The icon type's picture: 0 to 3 give IDI_IDLE to IDI_BUSY; 0 for any other type.
uint32_t TrayIconFor(int type);

// The tooltip texts, in code page 932.
extern const char kTrayTip[];
extern const char kTrayTipNextCheck[];  // format with the next check time "hh:mm"
// What stands in the tooltip for a next check time that local time cannot represent.
extern const char kTrayNoTime[];

}  // namespace kc
