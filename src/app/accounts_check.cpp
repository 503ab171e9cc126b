// The check of more than one account: the accounts run one after the other, each with its own
// connection, sign-in and seen list; their results are kept and, after the last, shown
// together. With one account none of this runs and the check is as it always was.
#include <cstring>

#include "app/app.h"
#include "app/check_timing.h"
#include "app/report.h"
#include "pop3/seen_keeping.h"
#include "text/bounded.h"

namespace kc {

void App::PlanCheck() {
  const int count = AccountCount(settings);
  several_ = count > 1;
  for (AccountRun& r : runs_) r.planned = false;
  if (!several_) {
    runs_[0].planned = true;
    return;
  }
  int planned = 0;
  char line[128];
  for (int n = 1; n <= count; ++n) {
    AccountRun& r = runs_[n - 1];
    r.answered = false;
    r.network = false;
    r.count = 0;
    r.toldNew = false;
    r.outcome[0] = '\0';
    const char* why = AccountIncomplete(AccountAt(settings, n));
    if (why != nullptr) {
      FormatBounded(line, sizeof line, "Account %d skipped: %s\r\n", n, why);
      platform_.trace.Trace(line);
      continue;
    }
    const int same = SameMailboxAs(settings, n);
    if (same != 0) {
      FormatBounded(line, sizeof line, "Account %d is the same mailbox as account %d\r\n", n, same);
      platform_.trace.Trace(line);
      continue;
    }
    r.planned = true;
    ++planned;
  }
  // Nothing complete: account 1 runs, and its check fails as it always did.
  if (planned == 0) runs_[0].planned = true;
}

// Account 1 keeps the files of a program with one account; the others are named by their key,
// not their number, so that reordering the accounts loses no list.
void App::UseAccountStores(int n) {
  platform_.seenStore.UseAccount(n == 1 ? 0 : SeenAccountKey(AccountAt(settings, n)));
}

void App::JudgeNewMail(const CheckResult* result, AccountRun& r) {
  const AccountSettings& a = account();
  NoteCheck check;
  check.failed = !r.answered;
  check.account = AccountKey(a.server, kServerSize, a.user, kUserSize);
  check.count = r.count;
  if (result != nullptr && result->listingRead && result->listing != nullptr) {
    check.listed = result->listing->hashes();
    check.listedCount = result->listing->size();
    check.seen = r.seen;
  }
  if (r.notice == nullptr) {
    r.ownNotice = std::make_unique<NewMailNotice>();
    r.notice = r.ownNotice.get();
  }
  r.toldNew = r.notice->Judge(check);
}

void App::AccountDone(WindowRef window, const CheckResult* result) {
  AccountRun& r = run();
  status.serverError = checkWithoutToken_ ? 1 : 0;
  status.mailCount = 0;
  if (result != nullptr) {
    ApplyResult(*result);
    if (UsesOAuth(account()) && r.session != nullptr && poller.tokenRefused()) {
      r.session->TokenRefused();
      if (r.session->failure() == SignInFailure::kTokenRefused) TellSignInFailure(true);
    }
  }
  r.answered = status.serverError == 0;
  r.network = result != nullptr && !r.answered && IsNetworkFailure(*result);
  r.count = r.answered ? status.mailCount : 0;
  if (checkWithoutToken_) {
    CopyBounded(
        r.outcome, sizeof r.outcome,
        r.session != nullptr ? r.session->failureText() : "sign-in is not available in this build");
    TellSignInFailure(true);
  } else {
    DescribeCheckResult(poller.lastResult(), poller.lastReply(), !r.answered, status.mailCount,
                        account().server, r.outcome, sizeof r.outcome);
  }
  if (r.answered && r.count > 0) {
    if (r.senders == nullptr) r.senders = std::make_unique<SenderTable>();
    std::memcpy(r.senders.get(), &poller.senders(), sizeof(SenderTable));
  }
  JudgeNewMail(result, r);
  if (result != nullptr) TellNoUidl(poller.lastResult());
  for (int n = current_ + 1; n <= AccountCount(settings); ++n) {
    if (runs_[n - 1].planned) {
      StartAccount(window, n);
      return;
    }
  }
  FinishAccounts(window);
}

void App::FinishAccounts(WindowRef window) {
  int32_t total = 0;
  bool anyAnswered = false;
  bool allNetwork = true;
  for (const AccountRun& r : runs_) {
    if (!r.planned) continue;
    if (r.answered) {
      total += r.count;
      anyAnswered = true;
    }
    allNetwork = allNetwork && r.network;
  }
  // A failed account never hides the others' mail: only when all failed is the check failed.
  status.serverError = anyAnswered ? 0 : 1;
  status.mailCount = total;
  markWhenDone_ = false;
  ShowAccountsOnTray();
  if (status.serverError == 1) {
    display.LcdShowText(kLcdServerError);  // the tray keeps the busy picture
  } else {
    platform_.window.Send(window, SM_SHOWCOUNT, 0, 0);
    ShowAccountsOnDisplay();
  }
  status.propertiesEnabled = 1;
  status.busy = 0;
  TellOutcome();
  TellAccountsNewMail(window);
  FollowUpCheck(window, allNetwork ? &poller.lastResult() : nullptr);
}

void App::ShowAccountsOnDisplay() {
  ReportAccount accounts[kMaxAccounts];
  char labels[kMaxAccounts][kAccountLabelSize];
  int count = 0;
  bool anyFailed = false;
  for (int n = 1; n <= AccountCount(settings); ++n) {
    const AccountRun& r = runs_[n - 1];
    if (!r.planned) continue;
    AccountLabel(settings, n, labels[count], sizeof labels[count]);
    accounts[count].label = labels[count];
    accounts[count].count = r.count;
    accounts[count].failed = !r.answered;
    accounts[count].senders = r.senders.get();
    anyFailed = anyFailed || !r.answered;
    ++count;
  }
  const bool list = settings.listSenders == 1;
  if (status.mailCount == 0 && (!anyFailed || !list)) {
    display.LcdShowText(kLcdNoMail);
    return;
  }
  LocalTime when{};
  if (!platform_.clock.ToLocal(status.checkTime, &when)) when = LocalTime{};
  char report[kReportBufferSize];
  ComposeAccountsReport(report, status.mailCount, when, list, accounts, count);
  display.LcdShowText(report);
}

void App::ShowAccountsOnTray() {
  TipAccount accounts[kMaxAccounts];
  int count = 0;
  for (int n = 1; n <= AccountCount(settings); ++n) {
    const AccountRun& r = runs_[n - 1];
    if (!r.planned) continue;
    AccountLabel(settings, n, accounts[count].label, sizeof accounts[count].label);
    accounts[count].count = r.count;
    accounts[count].failed = !r.answered;
    ++count;
  }
  tray.SetAccounts(accounts, count);
}

void App::TellAccountsOutcome() {
  int planned = 0;
  int failed = 0;
  char line[kAccountLabelSize + kAccountOutcomeSize + 8];
  for (int n = 1; n <= AccountCount(settings); ++n) {
    const AccountRun& r = runs_[n - 1];
    if (!r.planned) continue;
    ++planned;
    if (!r.answered) ++failed;
    char label[kAccountLabelSize];
    AccountLabel(settings, n, label, sizeof label);
    FormatBounded(line, sizeof line, "%s: %s", label, r.outcome);
    TellLine(line);
  }
  char outcome[128];
  if (failed == planned) {
    FormatBounded(outcome, sizeof outcome, "all %d accounts failed", planned);
  } else if (failed > 0) {
    FormatBounded(outcome, sizeof outcome, "total %ld, %d of %d accounts failed",
                  static_cast<long>(status.mailCount), failed, planned);
  } else {
    FormatBounded(outcome, sizeof outcome, "total %ld", static_cast<long>(status.mailCount));
  }
  platform_.notice.CheckEnded(outcome, status.serverError == 1);
}

void App::TellAccountsNewMail(WindowRef window) {
  NoteAccount accounts[kMaxAccounts];
  char labels[kMaxAccounts][kAccountLabelSize];
  int count = 0;
  for (int n = 1; n <= AccountCount(settings); ++n) {
    const AccountRun& r = runs_[n - 1];
    if (!r.planned || !r.toldNew) continue;
    AccountLabel(settings, n, labels[count], sizeof labels[count]);
    accounts[count].label = labels[count];
    accounts[count].count = r.count;
    accounts[count].senders = r.senders.get();
    ++count;
  }
  if (count == 0 || settings.notify == 0) return;
  char title[kNoteTitleSize];
  char text[kNoteTextSize];
  ComposeAccountsNote(status.mailCount, accounts, count, title, sizeof title, text, sizeof text);
  char line[128];
  FormatBounded(line, sizeof line, "New mail notification: %ld messages\r\n",
                static_cast<long>(status.mailCount));
  platform_.trace.Trace(line);
  platform_.notifier.ShowNewMail(window, title, text);
}

// 既読にする with several accounts: every account with the new-only option takes what its last
// check listed as seen.
void App::MarkAccountsSeen() {
  bool newOnly = false;
  for (int n = 1; n <= AccountCount(settings); ++n) {
    newOnly = newOnly || AccountAt(settings, n).newOnly != 0;
  }
  if (!newOnly) return;
  if (status.busy == 1) {
    markWhenDone_ = true;  // the check under way marks what it finds when it ends
    return;
  }
  const int before = current_;
  long marked = 0;
  bool any = false;
  for (int n = 1; n <= AccountCount(settings); ++n) {
    AccountRun& r = runs_[n - 1];
    if (AccountAt(settings, n).newOnly == 0 || !r.planned || !r.answered ||
        r.lastListing == nullptr || r.seen == nullptr) {
      continue;
    }
    current_ = n;
    UseAccountStores(n);
    if (r.seen->Apply(*r.lastListing, true)) SaveSeen();
    marked += r.lastListing->mailCount();
    r.count = 0;
    any = true;
  }
  current_ = before;
  if (!any) {
    TellLine("nothing to mark as seen: the last check did not read the list of messages");
    return;
  }
  char line[128];
  FormatBounded(line, sizeof line, "%ld messages marked as seen", marked);
  TellLine(line);
  int32_t total = 0;
  for (const AccountRun& r : runs_) {
    if (r.planned && r.answered) total += r.count;
  }
  status.mailCount = total;
  ShowAccountsOnTray();
  if (mainWindow != 0) platform_.window.Send(mainWindow, SM_SHOWCOUNT, 0, 0);
  ShowAccountsOnDisplay();
}

}  // namespace kc
