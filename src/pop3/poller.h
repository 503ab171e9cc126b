// The mailbox poller: WinSock start and stop, the asynchronous lookup and connect, and the
// POP3 dialogue of one check.
#pragma once
#include <cstdint>

#include "app/check_status.h"
#include "app/clock.h"
#include "app/window.h"
#include "pop3/sender_table.h"
#include "pop3/winsock_port.h"
#include "settings/settings.h"

namespace kc {

enum AppState : int32_t { FINDHOST = 0, CONNECTING = 1, USER = 2, PASS = 3, STAT = 4, TOP = 5, QUIT = 6 };

struct PollerPorts {
  WinSockPort& winsock;
  WindowPort& window;
  MessageBoxPort& box;
  TracePort& trace;
  ClockPort& clock;
};

class Poller {
 public:
  // mainWindow is read when a check ends, so it may be set after construction.
  Poller(PollerPorts ports, const Settings& settings, CheckStatus& status, SenderTable& senders,
         const WindowRef& mainWindow);

  bool StartWinSock();
  int StopWinSock();
  bool StartCheck(WindowRef window);
  void OnGetHost(WindowRef window, WParam handle, LParam result);
  void OnSocketEvent(WindowRef window, WParam socket, LParam event);
  // TIMER_SERVERWAIT ticked: the server has been silent too long.
  void OnServerWaitTimeout(WindowRef window);

  AppState appState() const { return appState_; }

 private:
  PollerPorts ports_;
  const Settings& settings_;
  CheckStatus& status_;
  SenderTable& senders_;
  const WindowRef& mainWindow_;
  AppState appState_ = FINDHOST;
};

}  // namespace kc
