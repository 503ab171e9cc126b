// The App's part of the OAuth 2.0 login (AUTH 1): a token before each check, the sign-in and
// what the user is told of it.
#include <cstring>

#include "app/app.h"
#include "app/report.h"
#include "text/bounded.h"

namespace kc {

namespace {

// The second row under the code on the display.
constexpr char kLcdSignInRow[] = "ｻｲﾝｲﾝ ｼﾃｸﾀﾞｻｲ";

const char* BoxText(SignInFailure failure) {
  switch (failure) {
    case SignInFailure::kUnavailable:
      return "このプログラムは OAuth 2.0 のサインインに対応していません。";
    case SignInFailure::kNeedsTls:
      return "OAuth 2.0 のサインインには暗号化 (SSL/TLS または STARTTLS) が必要です。";
    case SignInFailure::kSettings: return "OAuth 2.0 の設定が正しくありません。";
    case SignInFailure::kNoToken:
      return "サインインしていません。メニューの「サインイン」からサインインしてください。";
    case SignInFailure::kExpired:
      return "サインインの期限が切れたか取り消されました。もう一度サインインしてください。";
    case SignInFailure::kDeclined: return "サインインが拒否されたか、時間内に終わりませんでした。";
    case SignInFailure::kConsent:
      return "プロバイダーがサインインを拒否しました。同意または管理者の承認が必要です。";
    case SignInFailure::kUnreachable:
      return "OAuth 2.0 のプロバイダーに接続できません (HTTPS のアドレスだけを使います)。";
    case SignInFailure::kStore: return "サインインを保存できませんでした。";
    case SignInFailure::kTokenRefused:
      return "メールサーバーがトークンを拒否しました。もう一度サインインしてください。";
    case SignInFailure::kNone: break;
  }
  return "";
}

}  // namespace

void App::UseSignIn(const SignInPorts& ports) {
  signInPorts_ = std::make_unique<SignInPorts>(ports);
  // The settings dialog's サインイン button and its word on the stored token (account 1's).
  dialogTokens_ = std::make_unique<AccountTokenStore>(ports.tokens, settings, true);
  dialogSignIn_ = std::make_unique<DialogSignIn>(*dialogTokens_, [this] { StartSignIn(); });
  dialog.UseSignIn(dialogSignIn_.get());
}

// Made at first use, so a program that never signs in keeps none of its buffers. Each account
// has a session of its own over its own settings.
OAuthSession* App::SessionOf(int n) {
  AccountRun& r = runs_[n - 1];
  if (r.session == nullptr && signInPorts_ != nullptr) {
    const SignInPorts& p = *signInPorts_;
    r.tokens = std::make_unique<AccountTokenStore>(p.tokens, AccountAt(settings, n), n == 1);
    r.session = std::make_unique<OAuthSession>(
        SessionPorts{p.http, *r.tokens, p.crypto, p.loopback, p.browser, platform_.window,
                     platform_.clock, platform_.trace},
        AccountAt(settings, n));
  }
  return r.session.get();
}

// The account under check's session: the one the check's events go to.
OAuthSession* App::Session() {
  session_ = SessionOf(current_);
  return session_;
}

// The session whose sign-in is under way, else the one used last.
OAuthSession* App::SignInSession() {
  for (AccountRun& r : runs_) {
    if (r.session != nullptr && r.session->signingIn()) session_ = r.session.get();
  }
  return session_;
}

// Account 1's, as the settings dialog asks it.
bool App::SignInStored() {
  OAuthSession* session = SessionOf(1);
  return session != nullptr && session->HasStoredToken();
}

// The account a sign-in from the menu is for: with several accounts, the first one that logs
// in with OAuth 2.0 and has no stored sign-in, else the first that logs in with it.
int App::SignInAccount() {
  int first = 0;
  for (int n = 1; n <= AccountCount(settings); ++n) {
    if (!UsesOAuth(AccountAt(settings, n))) continue;
    if (first == 0) first = n;
    OAuthSession* session = SessionOf(n);
    if (session != nullptr && !session->HasStoredToken()) return n;
  }
  return first != 0 ? first : 1;
}

void App::StartSignIn() {
  const int n = AccountCount(settings) > 1 ? SignInAccount() : 1;
  if (!UsesOAuth(AccountAt(settings, n)) || mainWindow == 0) return;
  OAuthSession* session = SessionOf(n);
  if (session != nullptr) session_ = session;
  if (session == nullptr) {
    TellLine("sign-in is not available in this build");
    platform_.box.Show(mainWindow, BoxText(SignInFailure::kUnavailable), kCaption);
    return;
  }
  if (session->signingIn()) {
    TellLine("a sign-in is under way");
    return;
  }
  boxShown_ = SignInFailure::kNone;  // the user acts: what goes wrong now is told again
  if (!session->StartSignIn(mainWindow)) TellSignInFailure(false);
}

// With AUTH 1 a check first needs an access token: kept, refreshed, or none.
void App::OnCheck(WindowRef window) {
  if (status.ready == 0) return;
  if (status.busy == 1) return;  // dropped, not queued
  tray.UpdateTrayIcon(kIconBusy);
  status.propertiesEnabled = 0;
  status.busy = 1;
  display.LcdShowText(kLcdChecking);
  status.checkTime = platform_.clock.Now();
  status.serverError = 0;
  checkWithoutToken_ = false;
  PlanCheck();
  if (several_) {
    for (int n = 1; n <= AccountCount(settings); ++n) {
      if (runs_[n - 1].planned) {
        StartAccount(window, n);
        return;
      }
    }
  }
  StartAccount(window, 1);
}

// One account's check: with AUTH 1 a token first, then the poller.
void App::StartAccount(WindowRef window, int n) {
  current_ = n;
  checkWithoutToken_ = false;
  poller.UseAccount(account());
  UseAccountStores(n);
  if (!UsesOAuth(account())) {
    StartPollerCheck(window);
    return;
  }
  OAuthSession* session = Session();
  if (session == nullptr) {
    EndCheckWithoutToken(window);
    return;
  }
  switch (session->AcquireToken(window)) {
    case TokenState::kReady:
      poller.UseToken(session->accessToken());
      StartPollerCheck(window);
      break;
    case TokenState::kPending: waitingToken_ = true; break;
    case TokenState::kFailed: EndCheckWithoutToken(window); break;
  }
}

void App::OnHttpDone(WindowRef window, WParam id) {
  // The reply belongs to one session: the one that asked.
  for (AccountRun& r : runs_) {
    if (r.session == nullptr) continue;
    OAuthSession* before = session_;
    session_ = r.session.get();
    const SignInEvent event = session_->OnHttpDone(window, id);
    if (event != SignInEvent::kNothing) {
      OnSignInEvent(window, event);
      return;
    }
    session_ = before;
  }
}

void App::OnSignInEvent(WindowRef window, SignInEvent event) {
  char line[kHttpUrlSize * 3 + 128];
  switch (event) {
    case SignInEvent::kNothing: break;
    case SignInEvent::kTokenReady:
      if (!waitingToken_) break;
      waitingToken_ = false;
      poller.UseToken(session_->accessToken());
      StartPollerCheck(window);
      break;
    case SignInEvent::kTokenFailed:
      if (!waitingToken_) break;
      waitingToken_ = false;
      EndCheckWithoutToken(window);
      break;
    case SignInEvent::kShowCode: {
      FormatBounded(line, sizeof line, "sign in: open %s and enter the code %s",
                    session_->verificationUri(), session_->userCode());
      TellLine(line);
      char row[40];
      FormatBounded(row, sizeof row, "CODE %.11s\n%s", session_->userCode(), kLcdSignInRow);
      display.LcdShowText(row);
      char box[kHttpUrlSize + 256];
      FormatBounded(
          box, sizeof box,
          "ブラウザーで次のアドレスを開き、コードを入力してください。\n\n%s\n\nコード: %s",
          session_->verificationUri(), session_->userCode());
      // The code stays on the display while the box is open, so the user can read it there
      // once the browser shows the provider's page.
      if (platform_.box.Ask(mainWindow, box, "このアドレスをブラウザーで開きますか?", kCaption) &&
          signInPorts_ != nullptr) {
        char why[256] = {};
        if (!signInPorts_->browser.Open(session_->verificationUri(), why, sizeof why)) {
          FormatBounded(line, sizeof line, "sign in: the browser could not be started: %s", why);
          TellLine(line);
        }
      }
      break;
    }
    case SignInEvent::kBrowserOpened:
      FormatBounded(line, sizeof line,
                    "sign in: the browser was asked to open the provider's page; if it did not, "
                    "open %s",
                    session_->authorizationUrl());
      TellLine(line);
      break;
    case SignInEvent::kSignedIn:
      TellLine("signed in");
      boxShown_ = SignInFailure::kNone;
      if (status.busy == 0) {
        display.LcdShowText(kLcdChecking);
        platform_.window.Post(window, SM_CHECK, 0, 0);
      }
      break;
    case SignInEvent::kSignInFailed: TellSignInFailure(false); break;
  }
}

void App::TellSignInFailure(bool check) {
  const SignInFailure failure =
      session_ != nullptr ? session_->failure() : SignInFailure::kUnavailable;
  const char* words =
      session_ != nullptr ? session_->failureText() : "sign-in is not available in this build";
  if (!check) {
    char line[900];
    FormatBounded(line, sizeof line, "sign-in failed: %s", words);
    TellLine(line);
  }
  // One box for each new failure; the same failure at every interval shows none, nor does a
  // check while a sign-in is shown.
  if (failure == SignInFailure::kNone || failure == boxShown_) return;
  if (check && session_ != nullptr && session_->signingIn()) return;
  boxShown_ = failure;
  char box[1200];
  FormatBounded(box, sizeof box, "%s\n\n%s", BoxText(failure), words);
  platform_.box.Show(mainWindow, box, kCaption);
}

void App::EndCheckWithoutToken(WindowRef window) {
  checkWithoutToken_ = true;
  if (several_) {
    AccountDone(window, nullptr);
    return;
  }
  status.serverError = 1;
  display.LcdShowText(kLcdServerError);  // the tray keeps the busy picture, as after a failure
  status.propertiesEnabled = 1;
  status.busy = 0;
  TellOutcome();
  TellSignInFailure(true);
  // A stored sign-in the provider refused: a new one starts, as the user would do next.
  if (session_ != nullptr && session_->failure() == SignInFailure::kExpired) StartSignIn();
}

}  // namespace kc
