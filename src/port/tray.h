// The notification icon and its context menu.
#pragma once
#include <cstdint>

#include "port/window.h"

namespace kc {

// Icon types of the tray icon.
enum TrayIconType : int { kIconIdle = 0, kIconMail = 1, kIconManyMail = 2, kIconBusy = 3 };

// The record's sizes: the first layout, with its 64-byte tip, and the second, with a 128-byte
// tip (used only with more than one account, whose lines need the room). The platform maps
// them to its own layouts.
constexpr uint32_t kTrayRecordSize = 88;
constexpr uint32_t kTrayRecordSizeV2 = 488;
constexpr uint32_t kTrayTipSize = 64;
constexpr uint32_t kTrayTipSizeV2 = 128;

// The notification icon record as the shell takes it.
struct TrayIconRecord {
  uint32_t cbSize = 0;
  WindowRef window = 0;
  uint32_t id = 0;
  uint32_t flags = 0;
  uint32_t callbackMessage = 0;
  uint32_t icon = 0;              // resource number of the picture
  char tip[kTrayTipSizeV2] = {};  // kTrayTipSize bytes of it with the first layout
};

class TrayPort {
 public:
  virtual ~TrayPort() = default;
  virtual void Add(const TrayIconRecord& record) = 0;
  virtual void Modify(const TrayIconRecord& record) = 0;
  // Takes the icon out of the notification area.
  virtual void Remove(const TrayIconRecord&) {}
  // Shows the context menu at the pointer and returns when it has closed; a chosen item
  // reaches the window as a command message. withMarkSeen: the menu holds the item
  // IDM_MARKSEEN (kMenuMarkSeen) after its first item; withSignIn: the item IDM_SIGNIN
  // (kMenuSignIn) after those.
  virtual void ShowMenu(WindowRef window, bool withMarkSeen, bool withSignIn) = 0;
};

}  // namespace kc
