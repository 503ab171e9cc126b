#include "app/app.h"

#include <cstring>

#include "app/check_timing.h"
#include "app/report.h"
#include "pop3/check_result.h"
#include "pop3/seen_keeping.h"
#include "text/bounded.h"

namespace kc {

namespace {

// Shown once when new-only cannot work on the server: "This server does not support UIDL, so
// only new mail cannot be counted. Every message is counted."
constexpr char kBoxNoUidl[] =
    "このサーバーはUIDLに対応していないため、新着メールだけを数えることができません。"
    "すべてのメールを数えます。";
constexpr char kLineUidlSilent[] =
    "the server did not answer UIDL: every message is counted without it until the settings "
    "change";

// What the settings hold that makes another server or login: a change lets UIDL be tried again.
struct ServerSnapshot {
  uint64_t account;
  uint64_t password;
  int32_t newOnly;
};

ServerSnapshot SnapshotOf(const AccountSettings& s) {
  return {SeenAccountKey(s), Fnv1a64(s.password, sizeof s.password), s.newOnly};
}

bool SameServer(const ServerSnapshot& a, const ServerSnapshot& b) {
  return a.account == b.account && a.password == b.password && a.newOnly == b.newOnly;
}

}  // namespace

App::App(Platform& platform)
    : poller({platform.winsock, platform.window, platform.box, platform.trace, platform.clock,
              platform.tls},
             settings, mainWindow),
      senders(poller.senders()),
      display({platform.hid, platform.window, platform.trace, platform.box}),
      tray(platform.tray, platform.clock, settings, mainWindow),
      dialog(settings, status.ready, platform.registry, platform.box),
      launcher(platform.process, platform.window, platform.notice, settings),
      platform_(platform) {
  runs_[0].seen = &seen;
  runs_[0].notice = &mailNotice;
}

LResult App::MainWndProc(WindowRef window, uint32_t msg, WParam wp, LParam lp) {
  switch (msg) {
    case kWmCreate: OnCreate(window); return 0;
    case kWmDestroy: OnDestroy(window); return 0;
    case kWmCommand: OnCommand(window, static_cast<uint16_t>(wp & 0xFFFF)); return 0;
    case kWmTimer: OnTimer(window, wp); return 0;
    case SM_START: OnStart(window); return 0;
    case SM_CHECK: OnCheck(window); return 0;
    case SM_CHECKDONE: OnCheckDone(window); return 0;
    case SM_SHOWCOUNT: OnShowCount(); return 0;
    case SM_LAUNCH: tray.UpdateTrayIcon(kIconBusy); return 0;
    case SM_GETHOST: poller.OnGetHost(window, wp, lp); return 0;
    case SM_SOCKET: poller.OnSocketEvent(window, wp, lp); return 0;
    case SM_TRAY: OnTray(window, wp, lp); return 0;
    case kWmPowerBroadcast: OnPowerBroadcast(window, wp); return 1;
    case kWmDeviceChange: OnDeviceChange(window, wp); return 1;
    case SM_HTTPDONE: OnHttpDone(window, wp); return 0;
    case SM_LOOPBACK:
      if (SignInSession() != nullptr) OnSignInEvent(window, session_->OnLoopback(window));
      return 0;
    default: return platform_.window.DefaultProc(window, msg, wp, lp);
  }
}

void App::OnCreate(WindowRef window) {
  status.propertiesEnabled = 1;
  LoadSettings(settings, platform_.registry);
  TraceIgnoredAccounts(settings, platform_.trace);
  display.OpenLcdDevice();
  display.LcdInit(window);
  awakeSinceTick_ = platform_.clock.TickCount();
  platform_.window.StartTimer(window, TIMER_CHECK, CheckPeriodMs(settings.interval));
  platform_.window.Post(window, SM_START, 0, 0);
}

void App::OnDestroy(WindowRef window) {
  platform_.window.StopTimer(window, TIMER_CHECK);
  display.LcdShutdown(window);
  display.FreeReportBuffers();
  display.CloseLcdDevice();
  tray.RemoveTrayIcon();
  platform_.window.PostQuit(0);
}

void App::OnCommand(WindowRef window, uint16_t command) {
  switch (command) {
    case IDM_CHECK: platform_.window.Post(window, SM_CHECK, 0, 0); break;
    case IDM_PROPERTIES:
      if (status.propertiesEnabled != 0) ShowSettingsDialog();
      break;
    case IDM_EXIT: platform_.window.Destroy(window); break;
    case IDM_MARKSEEN: OnMarkSeen(); break;
    case IDM_SIGNIN: StartSignIn(); break;
    default: break;
  }
}

void App::OnTimer(WindowRef window, WParam id) {
  switch (id) {
    case TIMER_LCDPAGE: display.LcdNextPage(); break;
    case TIMER_CHECK: platform_.window.Post(window, SM_CHECK, 0, 0); break;
    case TIMER_SERVERWAIT: poller.OnServerWaitTimeout(window); break;
    case TIMER_RETRY: OnRetryTimer(window); break;
    case TIMER_WAKE: OnWakeTimer(window); break;
    case TIMER_SIGNINPOLL:
      if (SignInSession() != nullptr) OnSignInEvent(window, session_->OnPollTimer(window));
      break;
    default: break;
  }
}

void App::OnStart(WindowRef window) {
  platform_.window.Hide(window);
  tray.AddTrayIcon();
  bool complete = SettingsComplete(settings);
  // With several accounts, any complete one lets the checks run.
  for (int n = 2; n <= AccountCount(settings); ++n) {
    complete = complete || SettingsComplete(AccountAt(settings, n));
  }
  if (complete) {
    status.ready = 1;
  } else {
    ShowSettingsDialog();
  }
  platform_.window.Post(window, SM_CHECK, 0, 0);
}

// OnCheck (sign_in.cpp) has the token first with AUTH 1, then comes here.
void App::StartPollerCheck(WindowRef window) {
  AccountRun& r = run();
  const bool newOnly = account().newOnly != 0;
  r.lastListing = nullptr;  // the account's listing is about to be read anew
  if (newOnly) PrepareSeenIds();
  // A start that fails ends the check through the poller's completion.
  if (poller.StartWinSock()) {
    if (newOnly && r.uidlSilent && r.uidlSilentAccount == SeenAccountKey(account())) {
      if (!r.uidlSilentTold) {
        r.uidlSilentTold = true;
        TellLine(kLineUidlSilent);
      }
      poller.SkipUidl();
    } else if (newOnly) {
      r.checkMarksAll = r.markNextCheck;
      r.markNextCheck = false;
      // Accounts 2 to 8 keep their listing apart, so that each can be marked seen later.
      if (current_ > 1 && r.tally == nullptr) r.tally = std::make_unique<UidlTally>();
      poller.UseUidl(r.seen, r.checkMarksAll, current_ > 1 ? r.tally.get() : nullptr);
    }
    poller.StartCheck(window);
  }
}

void App::OnCheckDone(WindowRef window) {
  poller.StopWinSock();
  const CheckResult* result = poller.TakeResult();
  if (several_) {
    // A completion no check of this poller posted changes nothing.
    if (result != nullptr && status.busy == 1) AccountDone(window, result);
    return;
  }
  if (result != nullptr) {
    ApplyResult(*result);
    markWhenDone_ = false;
    if (UsesOAuth(settings) && session_ != nullptr && poller.tokenRefused()) {
      session_->TokenRefused();
      if (session_->failure() == SignInFailure::kTokenRefused) TellSignInFailure(true);
    }
  }
  if (status.serverError == 1) {
    display.LcdShowText(kLcdServerError);  // the tray keeps the busy picture
  } else {
    platform_.window.Send(window, SM_SHOWCOUNT, 0, 0);
    if (status.mailCount == 0) {
      display.LcdShowText(kLcdNoMail);
    } else {
      LocalTime when{};
      if (!platform_.clock.ToLocal(status.checkTime, &when)) when = LocalTime{};
      char report[kReportBufferSize];
      ComposeReport(report, status.mailCount, when, settings.listSenders == 1, senders);
      display.LcdShowText(report);
    }
  }
  status.propertiesEnabled = 1;
  status.busy = 0;
  TellOutcome();
  TellNewMail(window, result);
  FollowUpCheck(window, result);
  TellNoUidl(poller.lastResult());
}

void App::TellNoUidl(const CheckResult& result) {
  if (result.noUidl != NoUidl::kRefused && result.noUidl != NoUidl::kSilent) return;
  AccountRun& r = run();
  const uint64_t key = SeenAccountKey(account());
  // Set before the box opens: checks that end while it is open do not stack another.
  if (r.noUidlBoxShown && r.noUidlBoxAccount == key) return;
  r.noUidlBoxShown = true;
  r.noUidlBoxAccount = key;
  platform_.box.Show(mainWindow, kBoxNoUidl, kCaption);
}

// What the check found becomes the cycle's state, which the display, the tray and the next
// steps read.
void App::ApplyResult(const CheckResult& result) {
  if (result.failed) status.serverError = 1;
  status.mailCount = result.mailCount;
  AccountRun& r = run();
  if (result.uidlTimedOut) {
    r.uidlSilent = true;
    r.uidlSilentTold = false;
    r.uidlSilentAccount = SeenAccountKey(account());
  }
  if (result.listingRead) {
    ApplyListing(result);
  } else if (r.checkMarksAll) {
    r.markNextCheck = true;  // the marking waits for a check that reads the listing
  }
  r.checkMarksAll = false;
}

// ----- The new-only option -----

void App::TellLine(const char* line) {
  char traced[600];
  FormatBounded(traced, sizeof traced, "%s\r\n", line);
  platform_.trace.Trace(traced);
  platform_.notice.Tell(line);
}

// The list of the account in the settings is read once; a new server or user ID reads again.
void App::PrepareSeenIds() {
  AccountRun& r = run();
  if (r.seen == nullptr) {
    r.ownSeen = std::make_unique<SeenIds>();
    r.seen = r.ownSeen.get();
  }
  const uint64_t key = SeenAccountKey(account());
  if (r.seenLoaded && r.seen->account() == key) return;
  r.seenLoaded = true;
  char line[512];
  SeenLoad loaded = LoadSeenIds(*r.seen, platform_.seenStore, key, FirstFormAccountKey(account()),
                                line, sizeof line);
  if (line[0] == '\0') return;
  if (loaded == SeenLoad::kLoaded) {
    FormatBounded(line + std::strlen(line), sizeof line - std::strlen(line), "\r\n");
    platform_.trace.Trace(line);
  } else {
    TellLine(line);
  }
}

void App::SaveSeen() {
  char line[512];
  if (!SaveSeenIds(*run().seen, platform_.seenStore, line, sizeof line)) TellLine(line);
}

// The count is that of the new messages; the list drops what left the server and, when the
// check was to take everything as seen, takes the rest.
void App::ApplyListing(const CheckResult& result) {
  AccountRun& r = run();
  const bool takeAll = result.takeAll || markWhenDone_;
  status.mailCount = takeAll ? 0 : result.newCount;
  if (result.failed) {
    if (r.checkMarksAll) r.markNextCheck = true;
    return;
  }
  r.lastListing = result.listing;
  if (r.seen->Apply(*result.listing, takeAll)) SaveSeen();
  char line[256];
  if (result.baseline) {
    FormatBounded(line, sizeof line,
                  "no list of seen messages yet: the %ld messages on the server are taken as "
                  "seen; messages that arrive from now on count as new",
                  static_cast<long>(result.mailCount));
    platform_.notice.Tell(line);
  } else if (markWhenDone_) {
    FormatBounded(line, sizeof line, "%ld messages marked as seen",
                  static_cast<long>(result.mailCount));
    TellLine(line);
  }
}

// The menu item and the console's key: what the last check found becomes seen at once.
void App::OnMarkSeen() {
  if (several_ || AccountCount(settings) > 1) {
    MarkAccountsSeen();
    return;
  }
  if (settings.newOnly == 0) return;
  if (status.busy == 1) {
    markWhenDone_ = true;  // the check under way marks what it finds when it ends
    return;
  }
  const UidlTally* listing = run().lastListing;
  if (listing == nullptr) {
    TellLine("nothing to mark as seen: the last check did not read the list of messages");
    return;
  }
  if (run().seen->Apply(*listing, true)) SaveSeen();
  char line[128];
  FormatBounded(line, sizeof line, "%ld messages marked as seen",
                static_cast<long>(listing->mailCount()));
  TellLine(line);
  status.mailCount = 0;
  if (mainWindow != 0) platform_.window.Send(mainWindow, SM_SHOWCOUNT, 0, 0);
  display.LcdShowText(kLcdNoMail);
}

void App::TellOutcome() {
  if (several_) {
    TellAccountsOutcome();
    return;
  }
  char outcome[512];
  if (checkWithoutToken_) {
    FormatBounded(
        outcome, sizeof outcome, "%s",
        session_ != nullptr ? session_->failureText() : "sign-in is not available in this build");
    platform_.notice.CheckEnded(outcome, true);
    return;
  }
  DescribeCheckResult(poller.lastResult(), poller.lastReply(), status.serverError == 1,
                      status.mailCount, settings.server, outcome, sizeof outcome);
  platform_.notice.CheckEnded(outcome, status.serverError == 1);
}

void App::OnShowCount() {
  if (status.mailCount == 0) {
    tray.UpdateTrayIcon(kIconIdle);
  } else if (status.mailCount <= 10) {  // signed: a negative count included
    tray.UpdateTrayIcon(kIconMail);
  } else {
    tray.UpdateTrayIcon(kIconManyMail);
  }
}

void App::OnTray(WindowRef window, WParam id, LParam mouse) {
  if (id != kTrayIconId) return;
  // A click on the new-mail notification does what the double click does.
  if (mouse == kWmLButtonDblClk || mouse == kNinBalloonUserClick) {
    // With the new-only option, the check that follows marks every message it finds as seen.
    if (launcher.LaunchMailer(window)) {
      for (int n = 1; n <= AccountCount(settings); ++n) {
        if (AccountAt(settings, n).newOnly != 0) runs_[n - 1].markNextCheck = true;
      }
    }
  } else if (mouse == kWmRButtonDown) {
    tray.ShowTrayMenu(window);
  }
}

void App::ShowSettingsDialog() {
  const int32_t before = settings.interval;
  const ServerSnapshot server = SnapshotOf(settings);
  SettingsForm shown;
  dialog.Fill(&shown);
  platform_.dialog.Run(mainWindow, shown, dialog);
  // New settings may name a server that answers UIDL: it is asked again.
  if (!SameServer(server, SnapshotOf(settings))) runs_[0].uidlSilent = false;
  // The other accounts may have changed too: their servers are asked again.
  for (int n = 2; n <= kMaxAccounts; ++n) runs_[n - 1].uidlSilent = false;
  // OAuth chosen (or kept) and nothing stored for it: the sign-in starts at once.
  if (UsesOAuth(settings) && !SignInStored()) StartSignIn();
  // A new interval counts from now, so the next check comes when the tooltip says it will.
  if (settings.interval != before && mainWindow != 0) {
    platform_.window.StartTimer(mainWindow, TIMER_CHECK, CheckPeriodMs(settings.interval));
  }
}

}  // namespace kc
