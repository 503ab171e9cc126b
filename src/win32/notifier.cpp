// The notification of new mail on Windows: the tray icon's balloon (NIF_INFO), which Windows
// 10 and 11 show as a toast and hold back in focus assist. A new balloon replaces the one
// before; a click on it reaches the window as NIN_BALLOONUSERCLICK through the icon's callback.
// windows.h comes first: shellapi.h builds on it.
#include <windows.h>
// (kept apart so that include sorting leaves the order alone)
#include <shellapi.h>

#include "text/bounded.h"
#include "win32/backends.h"

namespace kc::win32 {

namespace {

static_assert(sizeof(NOTIFYICONDATAA{}.szInfoTitle) == kNoteTitleSize, "the balloon's title");
static_assert(sizeof(NOTIFYICONDATAA{}.szInfo) == kNoteTextSize, "the balloon's text");

class BalloonNotifier final : public NotifierPort {
 public:
  void ShowNewMail(WindowRef window, const char* title, const char* text) override {
    NOTIFYICONDATAA data{};
    // The layout that first carried the balloon, which every shell since takes.
    data.cbSize = NOTIFYICONDATAA_V2_SIZE;
    data.hWnd = ToHwnd(window);
    data.uID = kTrayIconId;
    data.uFlags = NIF_INFO;  // the icon, its tip and its callback stay as they are
    CopyBounded(data.szInfoTitle, sizeof data.szInfoTitle, title);
    CopyBounded(data.szInfo, sizeof data.szInfo, text);
    data.dwInfoFlags = NIIF_USER;  // the tray icon's own picture
    Shell_NotifyIconA(NIM_MODIFY, &data);
  }
};

}  // namespace

std::unique_ptr<NotifierPort> MakeNotifier() { return std::make_unique<BalloonNotifier>(); }

}  // namespace kc::win32
