#include "oauth/session.h"

#include <cstdarg>
#include <cstring>

#include "oauth/form.h"
#include "port/messages.h"
#include "text/base64.h"

namespace kc {

namespace {

constexpr char kDeviceGrant[] = "urn:ietf:params:oauth:grant-type:device_code";

// The page the browser shows once the redirect has come back (UTF-8, Japanese and English).
constexpr char kPageDone[] =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>KESTOVA</title></head><body>"
    "<p>\xE3\x82\xB5\xE3\x82\xA4\xE3\x83\xB3\xE3\x82\xA4\xE3\x83\xB3\xE3\x81\xAE\xE7\xB5\x90"
    "\xE6\x9E\x9C\xE3\x82\x92 KESTOVA \xE3\x81\xAB\xE6\xB8\xA1\xE3\x81\x97\xE3\x81\xBE\xE3\x81"
    "\x97\xE3\x81\x9F\xE3\x80\x82\xE3\x81\x93\xE3\x81\xAE\xE3\x82\xBF\xE3\x83\x96\xE3\x81\xAF"
    "\xE9\x96\x89\xE3\x81\x98\xE3\x81\xA6\xE3\x81\x8B\xE3\x81\xBE\xE3\x81\x84\xE3\x81\xBE\xE3"
    "\x81\x9B\xE3\x82\x93\xE3\x80\x82</p>"
    "<p>The sign-in went back to KESTOVA. You may close this tab.</p></body></html>";
constexpr char kPageRefused[] =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>KESTOVA</title></head><body>"
    "<p>\xE3\x81\x93\xE3\x81\xAE\xE8\xBF\x94\xE7\xAD\x94\xE3\x81\xAF\xE5\x8F\x97\xE3\x81\x91"
    "\xE4\xBB\x98\xE3\x81\x91\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93\xE3\x80\x82</p>"
    "<p>This answer is not accepted.</p></body></html>";

bool SameText(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

// The provider's error, which the user can act on, as a failure.
SignInFailure Classify(const ProviderError& e) {
  if (SameText(e.error, "invalid_grant")) return SignInFailure::kExpired;
  if (SameText(e.error, "access_denied") || SameText(e.error, "expired_token")) {
    return SignInFailure::kDeclined;
  }
  if (SameText(e.error, "temporarily_unavailable") || SameText(e.error, "server_error")) {
    return SignInFailure::kUnreachable;
  }
  return SignInFailure::kConsent;  // consent_required, invalid_client, invalid_scope, ...
}

}  // namespace

OAuthSession::OAuthSession(SessionPorts ports, const AccountSettings& settings)
    : ports_(ports), settings_(settings) {}

void OAuthSession::Trace(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  FormatBoundedV(line, sizeof line - 2, format, args);
  va_end(args);
  std::strcat(line, "\r\n");
  ports_.trace.Trace(line);
}

SignInEvent OAuthSession::Fail(SignInFailure why, const char* format, ...) {
  failure_ = why;
  va_list args;
  va_start(args, format);
  FormatBoundedV(failureText_, sizeof failureText_, format, args);
  va_end(args);
  Trace("OAuth: %s", failureText_);
  const bool signIn = flow_ != Flow::kNone;
  EndFlow();
  return signIn ? SignInEvent::kSignInFailed : SignInEvent::kTokenFailed;
}

SignInEvent OAuthSession::FailProvider(const ProviderError& e) {
  const SignInFailure why = Classify(e);
  const char* what = why == SignInFailure::kExpired    ? "sign-in expired or revoked, sign in again"
                     : why == SignInFailure::kDeclined ? "sign-in declined or timed out"
                                                       : "the provider refused the sign-in";
  if (e.description[0] != '\0') {
    return Fail(why, "%s: %s: %s", what, e.error, e.description);
  }
  return Fail(why, "%s: %s", what, e.error);
}

void OAuthSession::EndFlow() {
  if (request_ != 0) ports_.http.Cancel(request_);
  request_ = 0;
  if (flow_ == Flow::kBrowser) ports_.loopback.Close();
  if (flow_ != Flow::kNone) ports_.window.StopTimer(window_, TIMER_SIGNINPOLL);
  flow_ = Flow::kNone;
  step_ = Step::kIdle;
  std::memset(verifier_, 0, sizeof verifier_);
  std::memset(device_.deviceCode, 0, sizeof device_.deviceCode);
  std::memset(form_, 0, sizeof form_);
}

bool OAuthSession::Prepare() {
  failure_ = SignInFailure::kNone;
  failureText_[0] = '\0';
  if (!UsesTls(settings_)) {
    Fail(SignInFailure::kNeedsTls, "OAuth 2.0 needs a secured connection (SSL 1 or 2)");
    return false;
  }
  if (settings_.clientId[0] == '\0') {
    Fail(SignInFailure::kSettings, "no client ID is set (CLIENTID)");
    return false;
  }
  char why[256];
  Provider resolved;
  if (!ResolveProvider(settings_, &resolved, why, sizeof why)) {
    Fail(SignInFailure::kSettings, "%s", why);
    return false;
  }
  TokenRecord owner;
  RecordOwner(settings_, &owner);
  if (!SameOwner(owner, owner_)) {
    // Another provider, client or account: what the session held is not theirs.
    std::memset(access_, 0, sizeof access_);
    accessExpiry_ = 0;
    recordLoaded_ = false;
    discovered_ = false;
    owner_ = owner;
  }
  if (!discovered_ || !SameText(discoveredFor_, settings_.oauth)) {
    provider_ = resolved;
    discovered_ = provider_.kind != ProviderKind::kIssuer;
    CopyBounded(discoveredFor_, sizeof discoveredFor_, settings_.oauth);
  }
  CopyBounded(provider_.scope, sizeof provider_.scope, resolved.scope);
  return true;
}

bool OAuthSession::LoadRecord() {
  if (recordLoaded_) return record_.refreshToken[0] != '\0';
  static uint8_t bytes[kTokenRecordSize];
  uint32_t length = 0;
  char why[256] = {};
  TokenLoad loaded = ports_.tokens.Load(bytes, sizeof bytes, &length, why, sizeof why);
  record_ = TokenRecord{};
  if (loaded == TokenLoad::kFailed) {
    Fail(SignInFailure::kStore, "the stored sign-in could not be read: %s: %s",
         ports_.tokens.Where(), why);
    return false;
  }
  recordLoaded_ = true;
  TokenRecord stored;
  if (loaded == TokenLoad::kLoaded && ReadTokenRecord(bytes, length, &stored) &&
      SameOwner(stored, owner_)) {
    record_ = stored;
  }
  std::memset(bytes, 0, length);
  stored = TokenRecord{};
  return record_.refreshToken[0] != '\0';
}

bool OAuthSession::HasStoredToken() {
  TokenRecord owner;
  RecordOwner(settings_, &owner);
  if (!SameOwner(owner, owner_)) {
    recordLoaded_ = false;
    owner_ = owner;
    std::memset(access_, 0, sizeof access_);
  }
  const SignInFailure before = failure_;
  const bool has = LoadRecord();
  failure_ = before;
  return has;
}

bool OAuthSession::NeedsDiscovery() const { return !discovered_; }

TokenState OAuthSession::AcquireToken(WindowRef window) {
  fresh_ = false;
  if (!Prepare()) return TokenState::kFailed;
  if (access_[0] != '\0' && ports_.clock.Now() + kRefreshMarginSeconds < accessExpiry_) {
    return TokenState::kReady;
  }
  std::memset(access_, 0, sizeof access_);
  if (flow_ != Flow::kNone || step_ != Step::kIdle) {
    // The sign-in under way goes on; this check only says why it cannot run.
    failure_ = SignInFailure::kNoToken;
    CopyBounded(failureText_, sizeof failureText_, "a sign-in is under way: finish it first");
    Trace("OAuth: %s", failureText_);
    return TokenState::kFailed;
  }
  if (!LoadRecord()) {
    if (failure_ == SignInFailure::kNone) {
      Fail(SignInFailure::kNoToken, "not signed in: sign in (menu \"sign in\") first");
    }
    return TokenState::kFailed;
  }
  if (NeedsDiscovery()) {
    return StartDiscovery(window, 0) ? TokenState::kPending : TokenState::kFailed;
  }
  return StartRefresh(window) ? TokenState::kPending : TokenState::kFailed;
}

void OAuthSession::TokenRefused() {
  std::memset(access_, 0, sizeof access_);
  accessExpiry_ = 0;
  if (fresh_) {
    failure_ = SignInFailure::kTokenRefused;
    FormatBounded(failureText_, sizeof failureText_,
                  "the mail server refused a token fresh from the provider: sign in again");
  }
}

bool OAuthSession::Post(WindowRef window, const char* url, const char* body, Step step) {
  if (!EndpointAllowed(url)) {
    Fail(SignInFailure::kUnreachable, "the provider's address is not https://: %.200s", url);
    return false;
  }
  HttpRequest request;
  request.method = body != nullptr ? HttpMethod::kPost : HttpMethod::kGet;
  request.url = url;
  request.formBody = body != nullptr ? body : "";
  char why[kHttpWhySize] = {};
  request_ = ports_.http.Start(window, SM_HTTPDONE, request, why, sizeof why);
  if (body != nullptr) std::memset(form_, 0, sizeof form_);
  if (request_ == 0) {
    Fail(SignInFailure::kUnreachable, "the provider could not be asked: %s", why);
    return false;
  }
  step_ = step;
  return true;
}

bool OAuthSession::StartDiscovery(WindowRef window, int which) {
  Trace("OAuth: reading the provider's endpoints: %.300s", provider_.discovery[which]);
  return Post(window, provider_.discovery[which], nullptr, Step::kDiscovery);
}

bool OAuthSession::AddClient(FormBuilder& form) const {
  form.Add("client_id", settings_.clientId);
  if (settings_.clientSecret[0] != '\0') form.Add("client_secret", settings_.clientSecret);
  return form.ok();
}

bool OAuthSession::StartRefresh(WindowRef window) {
  FormBuilder form(form_, sizeof form_);
  form.Add("grant_type", "refresh_token").Add("refresh_token", record_.refreshToken);
  if (!AddClient(form)) {
    Fail(SignInFailure::kSettings, "the refresh request does not fit its buffer");
    return false;
  }
  Trace("OAuth: refreshing the access token at %.300s", provider_.endpoints.token);
  return Post(window, provider_.endpoints.token, form_, Step::kRefresh);
}

bool OAuthSession::StartSignIn(WindowRef window) {
  if (flow_ != Flow::kNone) return true;  // one sign-in at a time: the one under way goes on
  if (!Prepare()) return false;
  if (request_ != 0) {
    // A check waits on a refresh: the sign-in comes after it, not in its way.
    Fail(SignInFailure::kNoToken, "the access token is being refreshed: sign in after the check");
    return false;
  }
  window_ = window;
  flow_ = Flow::kBrowser;  // which flow is known once the endpoints are
  if (NeedsDiscovery()) {
    return StartDiscovery(window, 0);
  }
  return AfterDiscovery(window) != SignInEvent::kSignInFailed;
}

SignInEvent OAuthSession::AfterDiscovery(WindowRef window) {
  if (flow_ == Flow::kNone) {
    return StartRefresh(window) ? SignInEvent::kNothing : SignInEvent::kTokenFailed;
  }
  if (UsesDeviceGrant(provider_)) {
    flow_ = Flow::kDevice;
    return StartDeviceCode(window) ? SignInEvent::kNothing : SignInEvent::kSignInFailed;
  }
  if (provider_.endpoints.authorization[0] == '\0') {
    return Fail(SignInFailure::kSettings,
                "the provider offers neither a device grant nor an authorization endpoint");
  }
  flow_ = Flow::kBrowser;
  return StartBrowser(window) ? SignInEvent::kBrowserOpened : SignInEvent::kSignInFailed;
}

bool OAuthSession::StartDeviceCode(WindowRef window) {
  FormBuilder form(form_, sizeof form_);
  form.Add("client_id", settings_.clientId).Add("scope", provider_.scope);
  if (!form.ok()) {
    Fail(SignInFailure::kSettings, "the scope is too long");
    return false;
  }
  Trace("OAuth: device sign-in at %.300s", provider_.endpoints.device);
  return Post(window, provider_.endpoints.device, form_, Step::kDeviceCode);
}

bool OAuthSession::StartDevicePoll(WindowRef window) {
  FormBuilder form(form_, sizeof form_);
  form.Add("grant_type", kDeviceGrant).Add("device_code", device_.deviceCode);
  if (!AddClient(form)) {
    Fail(SignInFailure::kSettings, "the device request does not fit its buffer");
    return false;
  }
  return Post(window, provider_.endpoints.token, form_, Step::kDevicePoll);
}

bool OAuthSession::StartBrowser(WindowRef window) {
  uint8_t random[48];
  uint8_t digest[kSha256Size];
  char challenge[64];
  if (!ports_.crypto.RandomBytes(random, sizeof random)) {
    Fail(SignInFailure::kSettings, "the system gave no random bytes");
    return false;
  }
  Base64UrlEncode(random, 32, verifier_, sizeof verifier_);
  Base64UrlEncode(random + 32, 16, state_, sizeof state_);
  std::memset(random, 0, sizeof random);
  if (!ports_.crypto.Sha256(reinterpret_cast<const uint8_t*>(verifier_), std::strlen(verifier_),
                            digest)) {
    Fail(SignInFailure::kSettings, "SHA-256 is not available");
    return false;
  }
  Base64UrlEncode(digest, sizeof digest, challenge, sizeof challenge);
  char why[256] = {};
  const uint16_t port = ports_.loopback.Open(window, SM_LOOPBACK, why, sizeof why);
  if (port == 0) {
    Fail(SignInFailure::kSettings, "no loopback port for the browser's answer: %s", why);
    return false;
  }
  FormatBounded(redirect_, sizeof redirect_, "http://127.0.0.1:%u/callback",
                static_cast<unsigned>(port));
  const size_t base = CopyBounded(authUrl_, sizeof authUrl_, provider_.endpoints.authorization);
  authUrl_[base] = std::strchr(authUrl_, '?') != nullptr ? '&' : '?';
  FormBuilder query(authUrl_ + base + 1, sizeof authUrl_ - base - 1);
  query.Add("response_type", "code")
      .Add("client_id", settings_.clientId)
      .Add("redirect_uri", redirect_)
      .Add("scope", provider_.scope)
      .Add("state", state_)
      .Add("code_challenge", challenge)
      .Add("code_challenge_method", "S256");
  // Google hands out a refresh token only for offline access asked with consent; other
  // issuers give one for offline_access only after a consent prompt.
  if (provider_.kind == ProviderKind::kGoogle) query.Add("access_type", "offline");
  if (provider_.kind != ProviderKind::kMicrosoft) query.Add("prompt", "consent");
  if (settings_.user[0] != '\0') query.Add("login_hint", settings_.user);
  if (!query.ok()) {
    Fail(SignInFailure::kSettings, "the sign-in address is too long");
    return false;
  }
  flowDeadline_ = ports_.clock.Now() + kBrowserWaitMs / 1000;
  ports_.window.StartTimer(window, TIMER_SIGNINPOLL, kBrowserWaitMs);
  Trace("OAuth: browser sign-in, redirect to %s", redirect_);
  if (!ports_.browser.Open(authUrl_, why, sizeof why)) {
    Trace("OAuth: the browser could not be started: %s", why);
  }
  step_ = Step::kIdle;
  return true;
}

void OAuthSession::CancelSignIn() { EndFlow(); }

SignInEvent OAuthSession::OnLoopback(WindowRef window) {
  if (flow_ != Flow::kBrowser) return SignInEvent::kNothing;
  char target[kLoopbackTargetSize];
  char why[256] = {};
  for (;;) {
    LoopbackTake took = ports_.loopback.Take(target, sizeof target, why, sizeof why);
    if (took == LoopbackTake::kNothing) return SignInEvent::kNothing;
    if (took == LoopbackTake::kFailed) {
      return Fail(SignInFailure::kSettings, "the loopback listener failed: %s", why);
    }
    const char* query = std::strchr(target, '?');
    const size_t pathLength =
        query != nullptr ? static_cast<size_t>(query - target) : std::strlen(target);
    if (pathLength != 9 || std::strncmp(target, "/callback", 9) != 0) {
      ports_.loopback.Answer(404, kPageRefused);
      continue;
    }
    char state[64];
    char value[kDeviceCodeSize];
    if (query == nullptr || !QueryParameter(query + 1, "state", state, sizeof state) ||
        !SameText(state, state_)) {
      // Not the answer to this sign-in's request: refused, the listener waits on.
      ports_.loopback.Answer(400, kPageRefused);
      Trace("OAuth: a redirect with a wrong state was refused");
      continue;
    }
    ports_.loopback.Answer(200, kPageDone);
    ports_.loopback.Close();
    ProviderError error;
    if (QueryParameter(query + 1, "error", error.error, sizeof error.error)) {
      char description[kErrorDescriptionSize];
      if (QueryParameter(query + 1, "error_description", description, sizeof description)) {
        CopyPrintable(error.description, sizeof error.description, description);
      }
      CopyPrintable(error.error, sizeof error.error, error.error);
      return FailProvider(error);
    }
    if (!QueryParameter(query + 1, "code", value, sizeof value)) {
      return Fail(SignInFailure::kSettings, "the redirect carried no code");
    }
    ports_.window.StopTimer(window, TIMER_SIGNINPOLL);
    FormBuilder form(form_, sizeof form_);
    form.Add("grant_type", "authorization_code")
        .Add("code", value)
        .Add("redirect_uri", redirect_)
        .Add("code_verifier", verifier_);
    std::memset(value, 0, sizeof value);
    if (!AddClient(form)) return Fail(SignInFailure::kSettings, "the code does not fit");
    Trace("OAuth: exchanging the code at %.300s", provider_.endpoints.token);
    if (!Post(window, provider_.endpoints.token, form_, Step::kCodeExchange)) {
      return SignInEvent::kSignInFailed;
    }
    return SignInEvent::kNothing;
  }
}

SignInEvent OAuthSession::OnPollTimer(WindowRef window) {
  ports_.window.StopTimer(window, TIMER_SIGNINPOLL);
  if (flow_ == Flow::kNone) return SignInEvent::kNothing;
  if (ports_.clock.Now() >= flowDeadline_) {
    return Fail(SignInFailure::kDeclined, flow_ == Flow::kDevice
                                              ? "the code expired before the sign-in was approved"
                                              : "no answer came back from the browser in time");
  }
  if (flow_ == Flow::kDevice && request_ == 0) {
    return StartDevicePoll(window) ? SignInEvent::kNothing : SignInEvent::kSignInFailed;
  }
  return SignInEvent::kNothing;
}

SignInEvent OAuthSession::OnHttpDone(WindowRef window, WParam id) {
  if (request_ == 0 || id != request_) return SignInEvent::kNothing;
  HttpReply reply;
  const bool taken = ports_.http.Take(request_, &reply, body_, sizeof body_);
  request_ = 0;
  SignInEvent event = SignInEvent::kNothing;
  if (!taken) {
    event = Fail(SignInFailure::kUnreachable, "the provider's reply was lost");
  } else if (reply.outcome != HttpOutcome::kReplied) {
    event = Fail(SignInFailure::kUnreachable, "the provider could not be reached: %s",
                 reply.outcome == HttpOutcome::kTooLarge ? "the reply is too large" : reply.why);
  } else if (step_ == Step::kDiscovery) {
    ProviderEndpoints endpoints;
    if (reply.status == 200 && ParseDiscovery(body_, &endpoints) == ReplyKind::kOk) {
      provider_.endpoints = endpoints;
      discovered_ = true;
      step_ = Step::kIdle;
      event = AfterDiscovery(window);
    } else if (provider_.discovery[1][0] != '\0' && reply.status == 404 &&
               !SameText(provider_.discovery[1], "")) {
      // No OpenID configuration: the OAuth server metadata of RFC 8414, once.
      std::memmove(provider_.discovery[0], provider_.discovery[1], kHttpUrlSize);
      provider_.discovery[1][0] = '\0';
      event = StartDiscovery(window, 0)
                  ? SignInEvent::kNothing
                  : (flow_ != Flow::kNone ? SignInEvent::kSignInFailed : SignInEvent::kTokenFailed);
    } else {
      event =
          Fail(SignInFailure::kUnreachable, "the provider's endpoints could not be read (HTTP %d)",
               static_cast<int>(reply.status));
    }
  } else if (step_ == Step::kDeviceCode) {
    event = OnDeviceReply(window, reply);
  } else {
    event = OnTokenReply(window, reply);
  }
  std::memset(body_, 0, sizeof body_);
  return event;
}

SignInEvent OAuthSession::OnDeviceReply(WindowRef window, const HttpReply& reply) {
  ProviderError error;
  ReplyKind kind = ParseDeviceReply(body_, &device_, &error);
  if (kind == ReplyKind::kError) return FailProvider(error);
  if (kind != ReplyKind::kOk || reply.status != 200) {
    return Fail(SignInFailure::kUnreachable, "the provider's device reply is not usable (HTTP %d)",
                static_cast<int>(reply.status));
  }
  interval_ = device_.interval;
  flowDeadline_ = ports_.clock.Now() + device_.expiresIn;
  step_ = Step::kIdle;
  ports_.window.StartTimer(window, TIMER_SIGNINPOLL, static_cast<uint32_t>(interval_) * 1000u);
  Trace("OAuth: device code issued, polling every %d s for %d s", static_cast<int>(interval_),
        static_cast<int>(device_.expiresIn));
  return SignInEvent::kShowCode;
}

SignInEvent OAuthSession::OnTokenReply(WindowRef window, const HttpReply& reply) {
  const Step step = step_;
  step_ = Step::kIdle;
  ProviderError error;
  ReplyKind kind = ParseTokenReply(body_, &tokens_, &error);
  if (kind == ReplyKind::kError && step == Step::kDevicePoll) {
    if (SameText(error.error, "authorization_pending") || SameText(error.error, "slow_down")) {
      if (SameText(error.error, "slow_down")) interval_ += 5;
      ports_.window.StartTimer(window, TIMER_SIGNINPOLL, static_cast<uint32_t>(interval_) * 1000u);
      return SignInEvent::kNothing;
    }
  }
  if (kind == ReplyKind::kError) {
    if (step == Step::kRefresh && Classify(error) == SignInFailure::kExpired) {
      // The stored sign-in is dead: it is removed, so no later check tries it again.
      char why[256];
      ports_.tokens.Erase(why, sizeof why);
      record_ = TokenRecord{};
    }
    return FailProvider(error);
  }
  if (kind != ReplyKind::kOk || reply.status != 200) {
    tokens_ = TokenReply{};
    return Fail(SignInFailure::kUnreachable, "the provider's token reply is not usable (HTTP %d)",
                static_cast<int>(reply.status));
  }
  const bool signIn = step != Step::kRefresh;
  if (!KeepTokens(signIn)) return signIn ? SignInEvent::kSignInFailed : SignInEvent::kTokenFailed;
  fresh_ = true;
  if (signIn) {
    Trace("OAuth: signed in");
    EndFlow();
    return SignInEvent::kSignedIn;
  }
  Trace("OAuth: access token refreshed");
  return SignInEvent::kTokenReady;
}

bool OAuthSession::KeepTokens(bool signIn) {
  const bool rotated =
      tokens_.refreshToken[0] != '\0' && !SameText(tokens_.refreshToken, record_.refreshToken);
  if (signIn && !rotated) {
    tokens_ = TokenReply{};
    Fail(SignInFailure::kConsent,
         "the provider gave no refresh token: the scope must allow offline access");
    return false;
  }
  if (rotated) {
    // The new refresh token is stored before the access token is used: a provider that
    // rotates revokes the grant when the old one is replayed.
    TokenRecord next = owner_;
    CopyBounded(next.refreshToken, sizeof next.refreshToken, tokens_.refreshToken);
    static uint8_t bytes[kTokenRecordSize];
    size_t n = WriteTokenRecord(next, bytes, sizeof bytes);
    char why[256] = {};
    const bool saved =
        n > 0 && ports_.tokens.Save(bytes, static_cast<uint32_t>(n), why, sizeof why);
    std::memset(bytes, 0, n);
    record_ = next;
    recordLoaded_ = true;
    next = TokenRecord{};
    if (!saved) {
      tokens_ = TokenReply{};
      Fail(SignInFailure::kStore, "the sign-in could not be stored: %s: %s", ports_.tokens.Where(),
           n == 0 ? "too long" : why);
      return false;
    }
    Trace("OAuth: refresh token stored");
  }
  CopyBounded(access_, sizeof access_, tokens_.accessToken);
  const int64_t lifetime = tokens_.expiresIn > 0 ? tokens_.expiresIn : 3600;
  accessExpiry_ = ports_.clock.Now() + lifetime;
  tokens_ = TokenReply{};
  return true;
}

}  // namespace kc
