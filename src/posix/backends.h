// The POSIX back ends of the ports, as the Linux program puts them together.
#pragma once
#include <memory>
#include <string>

#include "port/browser.h"
#include "port/clock.h"
#include "port/crypto.h"
#include "port/hid.h"
#include "port/http.h"
#include "port/loopback.h"
#include "port/message_box.h"
#include "port/notice.h"
#include "port/notifier.h"
#include "port/seen_store.h"
#include "port/tls.h"
#include "port/token_store.h"
#include "port/trace.h"
#include "port/window.h"
#include "port/winsock.h"
#include "posix/event_loop.h"
#include "settings/settings.h"
#include "settings/settings_dialog.h"
#include "shell/launcher.h"
#include "shell/tray.h"

namespace kc::posix {

// Trace text with each WinSock error number after ": " followed by its name:
// "error: 11001" becomes "error: 11001 (WSAHOST_NOT_FOUND)".
std::string NameWinSockNumbers(const char* text);
// The same, appended to out (no string of its own per line).
void AppendNamingWinSockNumbers(std::string& out, const char* text);

// The debug trace on stderr: the bytes as the core wrote them, WinSock numbers named. Lines
// are gathered and written with one write when the event that traced them has been handled
// (Flush, called by the event loop after every dispatch), instead of one write per line.
class StderrTrace final : public TracePort {
 public:
  StderrTrace();
  ~StderrTrace() override;
  StderrTrace(const StderrTrace&) = delete;
  StderrTrace& operator=(const StderrTrace&) = delete;
  void Trace(const char* text) override;
  void Flush();
  // Writes what the running program's trace holds, so that a message box or a console line
  // appears after the trace lines that led to it.
  static void FlushCurrent();

 private:
  std::string pending_;
};

// Message boxes print their caption and text on stderr, in the terminal's UTF-8.
class StderrMessageBox final : public MessageBoxPort {
 public:
  void Show(WindowRef owner, const char* text, const char* caption) override;
};

class SystemClock final : public ClockPort {
 public:
  int64_t Now() override;
  bool ToLocal(int64_t t, LocalTime* out) override;
  uint32_t TickCount() override;
};

// The running instance holds a lock named after the program until its loop ends; a second
// start asks it forward through a socket beside the lock. Returns 0 with the lock held, or -1
// when another instance runs; *askedForward then tells whether the request reached it.
// onForward runs in the first instance when it is asked forward.
int AcquireSingleInstance(const char* name, EventLoop& loop, std::function<void()> onForward,
                          bool* askedForward);
void ReleaseSingleInstance();

// Where the program keeps its runtime files: $XDG_RUNTIME_DIR, else /tmp/kestova-<uid> when
// it is this user's private folder (made so when missing), else ~/.cache/kestova, saying why
// on stderr; empty (after saying so) when none of them can be used.
std::string RuntimeDir();
// The same from the given environment; *note is what RuntimeDir says ("" for nothing).
std::string RuntimeDirFrom(const char* xdgRuntimeDir, const std::string& tmp,
                           const std::string& home, std::string* note);

// Text in code page 932 turned into UTF-8 for a terminal.
std::string Cp932ToUtf8(const char* text);
std::string Utf8ToCp932(const std::string& text);

// The settings file: $KESTOVA_SETTINGS_FILE, else $XDG_CONFIG_HOME/kestova/settings.reg, else
// ~/.config/kestova/settings.reg.
std::string SettingsFilePath();
std::unique_ptr<RegistryPort> MakeRegistry();
std::unique_ptr<WinSockPort> MakeWinSock(EventLoop& loop);
std::unique_ptr<HidPort> MakeHid();
std::unique_ptr<TrayPort> MakeTray(EventLoop& loop);
std::unique_ptr<SettingsDialogPort> MakeSettingsDialog(EventLoop& loop);
std::unique_ptr<ProcessPort> MakeProcess();
std::unique_ptr<NoticePort> MakeNotice(EventLoop& loop);

// A line for the user (UTF-8, no line end) on standard output, where the console shows it.
void TellUser(const std::string& line);
std::unique_ptr<TlsPort> MakeTls();
// The list of seen messages: $XDG_STATE_HOME/kestova/seen.dat, else
// ~/.local/state/kestova/seen.dat ("" without a home directory).
std::string SeenStorePath();
std::unique_ptr<SeenStorePort> MakeSeenStore();
// The notification of new mail through the session bus's notification service.
std::unique_ptr<NotifierPort> MakeNotifier(EventLoop& loop, TracePort& trace);
// A watch on the device folder (KESTOVA_DEV_ROOT, else /dev): a hidraw node that appears (or
// whose access changes, as udev sets it) reaches the main window as a HID device's arrival, one
// removed as its removal.
// Returns the watch's descriptor, or -1 when the folder cannot be watched.
int WatchHidArrivals(EventLoop& loop, const WindowRef& mainWindow);
// Tells the main window when the machine wakes from sleep, as Windows does; ends with it.
class WakeWatch {
 public:
  virtual ~WakeWatch() = default;
};
std::unique_ptr<WakeWatch> WatchWakes(EventLoop& loop, const WindowRef& mainWindow);

// The sign-in's ports. The refresh-token record: $XDG_STATE_HOME/kestova/token.dat, else
// ~/.local/state/kestova/token.dat ("" without a home directory).
std::string TokenStorePath();
std::unique_ptr<TokenStorePort> MakeTokenStore();
std::unique_ptr<CryptoPort> MakeCrypto();
std::unique_ptr<BrowserPort> MakeBrowser();
std::unique_ptr<LoopbackPort> MakeLoopback(EventLoop& loop);
// HTTPS through libcurl's multi interface, its sockets and timeouts served by the loop's poll.
std::unique_ptr<HttpPort> MakeHttp(EventLoop& loop);

}  // namespace kc::posix
