// The whole program over its ports: the state the system keeps and the main window procedure.
#pragma once
#include <memory>

#include "app/account_run.h"
#include "app/check_status.h"
#include "app/dialog_sign_in.h"
#include "lcd/display.h"
#include "oauth/session.h"
#include "pop3/poller.h"
#include "pop3/sender_table.h"
#include "port/browser.h"
#include "port/clock.h"
#include "port/crypto.h"
#include "port/hid.h"
#include "port/http.h"
#include "port/loopback.h"
#include "port/message_box.h"
#include "port/notice.h"
#include "port/notifier.h"
#include "port/process.h"
#include "port/registry.h"
#include "port/seen_store.h"
#include "port/settings_dialog.h"
#include "port/token_store.h"
#include "port/trace.h"
#include "port/tray.h"
#include "port/window.h"
#include "port/winsock.h"
#include "settings/settings.h"
#include "settings/settings_dialog.h"
#include "shell/launcher.h"
#include "shell/new_mail_note.h"
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
  SeenStorePort& seenStore;  // the list of seen messages (the new-only option)
  NotifierPort& notifier;    // the desktop's notification of new mail
};

// What the OAuth 2.0 sign-in (AUTH 1) needs of the platform. A platform hands them to
// App::UseSignIn; without them a check with AUTH 1 fails saying this build cannot sign in.
struct SignInPorts {
  HttpPort& http;
  TokenStorePort& tokens;
  CryptoPort& crypto;
  LoopbackPort& loopback;
  BrowserPort& browser;
};

class App {
 public:
  explicit App(Platform& platform);
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  // Gives the App the sign-in's ports (AUTH 1); they must outlive it.
  void UseSignIn(const SignInPorts& ports);
  // Starts a sign-in with the OAuth provider of the settings: from the menu's "サインイン",
  // the dialog's OK with AUTH 1 and no stored sign-in, and after the provider refused the
  // stored one. Does nothing unless AUTH is 1.
  void StartSignIn();
  // A sign-in is stored for the settings' provider, client ID and account.
  bool SignInStored();

  // The main window procedure: every event of the program arrives here.
  LResult MainWndProc(WindowRef window, uint32_t msg, WParam wp, LParam lp);

  WindowRef mainWindow = 0;  // set by the platform as soon as window creation returns
  Settings settings;
  CheckStatus status;
  Poller poller;
  const SenderTable& senders;  // the poller's: the senders of the last check
  Display display;
  Tray tray;
  SettingsDialog dialog;
  Launcher launcher;
  SeenIds seen;              // the new-only option's list of seen messages
  NewMailNotice mailNotice;  // what the user was told of

 private:
  void OnCreate(WindowRef window);
  void OnDestroy(WindowRef window);
  void OnCommand(WindowRef window, uint16_t command);
  void OnTimer(WindowRef window, WParam id);
  void OnStart(WindowRef window);
  void OnCheck(WindowRef window);
  void OnCheckDone(WindowRef window);
  void ApplyResult(const CheckResult& result);
  void OnShowCount();
  void TellOutcome();
  void OnTray(WindowRef window, WParam id, LParam mouse);
  void ShowSettingsDialog();
  // The new-only option.
  void PrepareSeenIds();
  void ApplyListing(const CheckResult& result);
  void OnMarkSeen();
  void SaveSeen();
  void TellLine(const char* line);
  // The notification of new mail.
  void TellNewMail(WindowRef window, const CheckResult* result);
  // Early retries after start-up and wake, the check after a wake, the display's return.
  void FollowUpCheck(WindowRef window, const CheckResult* result);
  void OnRetryTimer(WindowRef window);
  void OnPowerBroadcast(WindowRef window, WParam event);
  void OnWakeTimer(WindowRef window);
  void OnDeviceChange(WindowRef window, WParam event);
  // After the outcome: one box, the first time, for a server that cannot tell new mail.
  void TellNoUidl(const CheckResult& result);
  // The OAuth 2.0 login.
  OAuthSession* Session();
  void StartPollerCheck(WindowRef window);
  void OnHttpDone(WindowRef window, WParam id);
  void OnSignInEvent(WindowRef window, SignInEvent event);
  // A check that ended before the server was asked: no token could be had.
  void EndCheckWithoutToken(WindowRef window);
  void TellSignInFailure(bool check);

  Platform& platform_;
  bool markWhenDone_ = false;    // marking was asked for while a check ran
  uint32_t awakeSinceTick_ = 0;  // start-up or the last wake: early retries within 5 minutes
  int retriesDone_ = 0;          // early retries made since then
  bool retrying_ = false;        // a check failed for want of a network; TIMER_RETRY runs
  // Each account's state; the check under way (or the last one) is of account current_.
  AccountRun runs_[kMaxAccounts];
  int current_ = 1;
  bool several_ = false;  // the check under way (or the last) is of more than one account
  AccountRun& run() { return runs_[current_ - 1]; }
  const AccountSettings& account() const { return AccountAt(settings, current_); }
  // The check of several accounts (accounts_check.cpp).
  void PlanCheck();
  void StartAccount(WindowRef window, int n);
  void AccountDone(WindowRef window, const CheckResult* result);
  void FinishAccounts(WindowRef window);
  void ShowAccountsOnDisplay();
  void ShowAccountsOnTray();
  void TellAccountsOutcome();
  void TellAccountsNewMail(WindowRef window);
  void MarkAccountsSeen();
  // The seen list's and the token's store follow the account under check.
  void UseAccountStores(int n);
  void JudgeNewMail(const CheckResult* result, AccountRun& r);
  // The sign-in: its ports when the platform has them, the session made at first use.
  std::unique_ptr<SignInPorts> signInPorts_;
  OAuthSession* session_ = nullptr;  // the account under check's, once made
  // The session of account n, made at first use.
  OAuthSession* SessionOf(int n);
  OAuthSession* SignInSession();
  int SignInAccount();
  std::unique_ptr<AccountTokenStore> dialogTokens_;
  std::unique_ptr<DialogSignIn> dialogSignIn_;
  bool waitingToken_ = false;       // the check under way waits for a token refresh
  bool checkWithoutToken_ = false;  // the last check ended before the server was asked
  SignInFailure boxShown_ = SignInFailure::kNone;  // the failure a box told last
  bool signInAfterCheck_ = false;  // the provider refused the stored sign-in: a new one starts
};

}  // namespace kc
