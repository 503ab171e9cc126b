#include "pop3/poller.h"

namespace kc {

// Placeholder until the POP3 session lands: a check ends at once as failed.
Poller::Poller(PollerPorts ports, const Settings& settings, CheckStatus& status,
               SenderTable& senders, const WindowRef& mainWindow)
    : ports_(ports), settings_(settings), status_(status), senders_(senders),
      mainWindow_(mainWindow) {}

bool Poller::StartWinSock() {
  status_.mailCount = 0;
  senders_ = SenderTable{};
  status_.serverError = 1;
  ports_.window.Post(mainWindow_, SM_CHECKDONE, 0, 0);
  return false;
}
int Poller::StopWinSock() { return 0; }
bool Poller::StartCheck(WindowRef) { return false; }
void Poller::OnGetHost(WindowRef, WParam, LParam) {}
void Poller::OnSocketEvent(WindowRef, WParam, LParam) {}
void Poller::OnServerWaitTimeout(WindowRef) {}

}  // namespace kc
