// The tray icon and its menu through the shell, and the mail program through CreateProcessA.
// windows.h comes first: shellapi.h builds on it.
#include <windows.h>
// (kept apart so that include sorting leaves the order alone)
#include <shellapi.h>

#include <cstring>
#include <map>

#include "text/bounded.h"
#include "win32/backends.h"

namespace kc::win32 {

namespace {

// The record the shell gets has the first layout, the one with the 64-byte tip: 88 bytes on
// a 32-bit build. On x86_64 that same leading part of the record is 104 bytes long (handles
// are 8 bytes wide there), so the size handed over is the platform's size of that part.
#if defined(_WIN64)
static_assert(NOTIFYICONDATAA_V1_SIZE == 104, "first notification record layout on x86_64");
#else
static_assert(NOTIFYICONDATAA_V1_SIZE == 88, "first notification record layout on i686");
#endif

class Win32Tray final : public TrayPort {
 public:
  void Add(const TrayIconRecord& record) override { Notify(NIM_ADD, record); }
  void Modify(const TrayIconRecord& record) override { Notify(NIM_MODIFY, record); }
  void Remove(const TrayIconRecord& record) override { Notify(NIM_DELETE, record); }

  void ShowMenu(WindowRef window, bool withMarkSeen, bool withSignIn) override {
    HWND owner = ToHwnd(window);
    HMENU menu = LoadMenuA(AppInstance, MAKEINTRESOURCEA(IDR_TRAYMENU));
    if (menu == nullptr) return;
    HMENU popup = GetSubMenu(menu, 0);
    // The new-only option's item, after the first one; the resource's menu stays as it is.
    if (withMarkSeen) {
      InsertMenuA(popup, 1, MF_BYPOSITION | MF_STRING, IDM_MARKSEEN, kMenuMarkSeen);
    }
    // The sign-in's item (with OAuth 2.0), after the check and the new-only item.
    if (withSignIn) {
      InsertMenuA(popup, withMarkSeen ? 2 : 1, MF_BYPOSITION | MF_STRING, IDM_SIGNIN, kMenuSignIn);
    }
    POINT cursor{};
    GetCursorPos(&cursor);
    // Without the foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(owner);
    TrackPopupMenu(popup, TPM_BOTTOMALIGN, cursor.x, cursor.y, 0, owner, nullptr);
    DestroyMenu(menu);  // the whole resource, popup included
  }

 private:
  static void Notify(DWORD message, const TrayIconRecord& record) {
    NOTIFYICONDATAA data{};
    // The core's record asks for the first layout (cbSize 88) with one account, for the
    // second, with its 128-byte tip, when the tooltip has a line per account.
    const bool second = record.cbSize == kTrayRecordSizeV2;
    const size_t tipSize = second ? kTrayTipSizeV2 : kTrayTipSize;
    data.cbSize = second ? NOTIFYICONDATAA_V2_SIZE : NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = ToHwnd(record.window);
    data.uID = record.id;
    data.uFlags = record.flags;
    data.uCallbackMessage = record.callbackMessage;
    data.hIcon = record.icon != 0 ? LoadTrayIcon(record.icon) : nullptr;
    static_assert(sizeof data.szTip >= sizeof record.tip, "the tip fits");
    std::memcpy(data.szTip, record.tip, tipSize);
    data.szTip[tipSize - 1] = '\0';
    Shell_NotifyIconA(message, &data);
    // The shell keeps a copy of its own; this one was made for the call alone.
    if (data.hIcon != nullptr) DestroyIcon(data.hIcon);
  }

  // The icon's image of the size the notification area draws (SM_CXSMICON: 16 at 100 %
  // scaling, 24 at 150 %, 32 at 200 %), so the shell shows it as drawn instead of stretching
  // the 16 x 16 image. The resources hold 16, 20, 24, 32 and 48; LoadImage takes the nearest
  // for any other size.
  static HICON LoadTrayIcon(uint32_t icon) {
    const int width = GetSystemMetrics(SM_CXSMICON);
    const int height = GetSystemMetrics(SM_CYSMICON);
    return static_cast<HICON>(LoadImageA(AppInstance, MAKEINTRESOURCEA(icon), IMAGE_ICON, width,
                                         height, LR_DEFAULTCOLOR));
  }
};

// The start record is 68 bytes on i686 and 104 on x86_64.
#if defined(_WIN64)
static_assert(sizeof(STARTUPINFOA) == 104, "STARTUPINFOA on x86_64");
#else
static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFOA on i686");
#endif

// The reference handed back is the primary thread's handle, which the wait watches; the
// process handle is kept here until Close releases both.
class Win32Process final : public ProcessPort {
 public:
  ~Win32Process() override {
    for (auto& [thread, process] : processes_) {
      CloseHandle(reinterpret_cast<HANDLE>(thread));
      CloseHandle(process);
    }
  }

  ProcessRef Start(const char* applicationName, const char* commandLine) override {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION info{};
    // CreateProcessA may write into the command line, so it gets a copy of its own.
    char line[kLineSize];
    CopyBounded(line, sizeof line, commandLine);
    if (!CreateProcessA(applicationName, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
      return 0;
    }
    ProcessRef ref = reinterpret_cast<ProcessRef>(info.hThread);
    processes_[ref] = info.hProcess;
    return ref;
  }

  void Wait(ProcessRef process, uint32_t timeoutMs) override {
    WaitForSingleObject(reinterpret_cast<HANDLE>(process), timeoutMs);
  }

  void Close(ProcessRef process) override {
    auto it = processes_.find(process);
    if (it == processes_.end()) return;
    CloseHandle(reinterpret_cast<HANDLE>(it->first));
    CloseHandle(it->second);
    processes_.erase(it);
  }

 private:
  static constexpr size_t kLineSize = 280;
  std::map<ProcessRef, HANDLE> processes_;
};

}  // namespace

std::unique_ptr<TrayPort> MakeTray() { return std::make_unique<Win32Tray>(); }
std::unique_ptr<ProcessPort> MakeProcess() { return std::make_unique<Win32Process>(); }

}  // namespace kc::win32
