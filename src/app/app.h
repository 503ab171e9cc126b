// The whole program over its ports: the state the system keeps and the main window procedure.
#pragma once
#include "app/check_status.h"
#include "app/clock.h"
#include "app/notice.h"
#include "app/window.h"
#include "lcd/display.h"
#include "pop3/poller.h"
#include "pop3/sender_table.h"
#include "settings/settings.h"
#include "settings/settings_dialog.h"
#include "shell/launcher.h"
#include "shell/tray.h"

namespace kc {

// The platform's side: one implementation per OS, fakes in the tests.
struct Platform {
  WindowPort& window;
  MessageBoxPort& box;
  TracePort& trace;
  ClockPort& clock;
  RegistryPort& registry;
  WinSockPort& winsock;
  HidPort& hid;
  TrayPort& tray;
  SettingsDialogPort& dialog;
  ProcessPort& process;
  NoticePort& notice;
  TlsPort& tls;
};

class App {
 public:
  explicit App(Platform& platform);
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  // The main window procedure: every event of the program arrives here.
  LResult MainWndProc(WindowRef window, uint32_t msg, WParam wp, LParam lp);

  WindowRef mainWindow = 0;  // set by the platform as soon as window creation returns
  Settings settings;
  CheckStatus status;
  SenderTable senders;
  Poller poller;
  Display display;
  Tray tray;
  SettingsDialog dialog;
  Launcher launcher;

 private:
  void OnCreate(WindowRef window);
  void OnDestroy(WindowRef window);
  void OnCommand(WindowRef window, uint16_t command);
  void OnTimer(WindowRef window, WParam id);
  void OnStart(WindowRef window);
  void OnCheck(WindowRef window);
  void OnCheckDone(WindowRef window);
  void OnShowCount();
  void TellOutcome();
  void OnTray(WindowRef window, WParam id, LParam mouse);
  void ShowSettingsDialog();

  Platform& platform_;
};

}  // namespace kc
