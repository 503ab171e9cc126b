// The Win32 back ends of the ports, as the Windows program puts them together.
#pragma once
#include <windows.h>

#include <memory>

#include "port/browser.h"
#include "port/clock.h"
#include "port/crypto.h"
#include "port/hid.h"
#include "port/http.h"
#include "port/loopback.h"
#include "port/message_box.h"
#include "port/notifier.h"
#include "port/seen_store.h"
#include "port/tls.h"
#include "port/token_store.h"
#include "port/trace.h"
#include "port/window.h"
#include "port/winsock.h"
#include "settings/settings.h"
#include "settings/settings_dialog.h"
#include "shell/launcher.h"
#include "shell/tray.h"

namespace kc::win32 {

// The module instance handle, set first thing at start.
extern HINSTANCE AppInstance;

inline HWND ToHwnd(WindowRef window) { return reinterpret_cast<HWND>(window); }
inline WindowRef FromHwnd(HWND window) { return reinterpret_cast<WindowRef>(window); }

// The user32 calls themselves: messages, timers and the window.
class Win32Window final : public WindowPort {
 public:
  void Post(WindowRef window, uint32_t msg, WParam wp, LParam lp) override {
    PostMessageA(ToHwnd(window), msg, wp, lp);
  }
  LResult Send(WindowRef window, uint32_t msg, WParam wp, LParam lp) override {
    return SendMessageA(ToHwnd(window), msg, wp, lp);
  }
  void StartTimer(WindowRef window, uint32_t id, uint32_t periodMs) override {
    SetTimer(ToHwnd(window), id, periodMs, nullptr);
  }
  void StopTimer(WindowRef window, uint32_t id) override { KillTimer(ToHwnd(window), id); }
  void Hide(WindowRef window) override { ShowWindow(ToHwnd(window), SW_HIDE); }
  void Destroy(WindowRef window) override { DestroyWindow(ToHwnd(window)); }
  void PostQuit(int exitCode) override { PostQuitMessage(exitCode); }
  LResult DefaultProc(WindowRef window, uint32_t msg, WParam wp, LParam lp) override {
    return DefWindowProcA(ToHwnd(window), msg, wp, lp);
  }
};

class Win32MessageBox final : public MessageBoxPort {
 public:
  void Show(WindowRef owner, const char* text, const char* caption) override;
  bool Ask(WindowRef owner, const char* text, const char* question, const char* caption) override;
};

// OutputDebugStringA.
class Win32Trace final : public TracePort {
 public:
  void Trace(const char* text) override;
};

class Win32Clock final : public ClockPort {
 public:
  int64_t Now() override;
  bool ToLocal(int64_t t, LocalTime* out) override;
  uint32_t TickCount() override;
};

std::unique_ptr<RegistryPort> MakeRegistry();
std::unique_ptr<WinSockPort> MakeWinSock();
std::unique_ptr<HidPort> MakeHid();
std::unique_ptr<TrayPort> MakeTray();
std::unique_ptr<SettingsDialogPort> MakeSettingsDialog();
std::unique_ptr<ProcessPort> MakeProcess();
std::unique_ptr<TlsPort> MakeTls();
// The list of seen messages: %LOCALAPPDATA%\KESTOVA\seen.dat.
std::unique_ptr<SeenStorePort> MakeSeenStore();
// The notification of new mail: the tray icon's balloon.
std::unique_ptr<NotifierPort> MakeNotifier();
// Asks for WM_DEVICECHANGE when a HID interface arrives or goes; null when it cannot be had.
HDEVNOTIFY WatchHidArrivals(HWND window);
// The sign-in's ports. The refresh-token record: %LOCALAPPDATA%\KESTOVA\token.dat, sealed
// with DPAPI for the current user.
std::unique_ptr<TokenStorePort> MakeTokenStore();
// BCryptGenRandom and SHA-256 of the CNG provider.
std::unique_ptr<CryptoPort> MakeCrypto();
// ShellExecuteA of a web address.
std::unique_ptr<BrowserPort> MakeBrowser();
// A WinSock listener on 127.0.0.1, its events posted to the window by WSAAsyncSelect.
std::unique_ptr<LoopbackPort> MakeLoopback();
// WinHTTP in its asynchronous mode: its callbacks, on WinHTTP's own threads, only record and
// post the end of a request; everything else happens on the main thread.
std::unique_ptr<HttpPort> MakeHttp();

}  // namespace kc::win32
