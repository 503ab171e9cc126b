// The OAuth 2.0 sign-in and its tokens: the access token kept in memory and refreshed when it is
// missing or about to expire, the refresh token in the protected store (a rotated one stored
// before the new access token is used), the device grant (RFC 8628) and the authorization code
// grant with PKCE and a loopback redirect (RFC 7636, RFC 8252). Every request is asynchronous:
// the controller hands the session the messages its requests, its listener and its timer
// produce, and the session says what came of them.
#pragma once
#include <cstddef>
#include <cstdint>

#include "oauth/provider.h"
#include "oauth/provider_reply.h"
#include "oauth/token_record.h"
#include "port/browser.h"
#include "port/clock.h"
#include "port/crypto.h"
#include "port/http.h"
#include "port/loopback.h"
#include "port/token_store.h"
#include "port/trace.h"
#include "port/window.h"
#include "settings/settings.h"
#include "text/bounded.h"

namespace kc {

// Why there is no token, in the words a user can act on.
enum class SignInFailure : int32_t {
  kNone = 0,
  kUnavailable,   // this build has no sign-in ports
  kNeedsTls,      // AUTH 1 with SSL 0
  kSettings,      // OAUTH, TENANT or the client ID unusable (detail says which)
  kNoToken,       // no stored sign-in for this provider, client and account
  kExpired,       // the provider refused the refresh token: sign in again
  kDeclined,      // the user declined, or the code expired before approval
  kConsent,       // consent or admin approval missing, client not allowed (provider's words)
  kUnreachable,   // the provider could not be reached, answered with no JSON, or not https
  kStore,         // the token store could not be written or read
  kTokenRefused,  // the mail server refused a token fresh from the provider: sign in again
};

enum class SignInEvent {
  kNothing,        // nothing for the controller
  kTokenReady,     // the token a check waits for is there
  kTokenFailed,    // the check's token could not be had (failure())
  kShowCode,       // device grant: show userCode() and verificationUri()
  kBrowserOpened,  // authorization code grant: the browser was sent to authorizationUrl()
  kSignedIn,       // a sign-in has ended well
  kSignInFailed,   // a sign-in has ended badly (failure())
};

enum class TokenState { kReady, kPending, kFailed };

struct SessionPorts {
  HttpPort& http;
  TokenStorePort& tokens;
  CryptoPort& crypto;
  LoopbackPort& loopback;
  BrowserPort& browser;
  WindowPort& window;
  ClockPort& clock;
  TracePort& trace;
};

// Seconds before its expiry at which an access token is refreshed rather than used.
constexpr int64_t kRefreshMarginSeconds = 300;
// How long a browser sign-in waits for the redirect.
constexpr uint32_t kBrowserWaitMs = 300000;

class OAuthSession {
 public:
  OAuthSession(SessionPorts ports, const AccountSettings& settings);
  OAuthSession(const OAuthSession&) = delete;
  OAuthSession& operator=(const OAuthSession&) = delete;

  // For a check: kReady with accessToken(), kPending until OnHttpDone says kTokenReady or
  // kTokenFailed, or kFailed with failure().
  TokenState AcquireToken(WindowRef window);
  const char* accessToken() const { return access_; }
  // The token was obtained by this very acquisition (not kept from an earlier one).
  bool tokenFresh() const { return fresh_; }
  // The mail server refused the token: it is dropped. After a fresh one the failure is
  // kTokenRefused (sign in again), never another attempt in the same check.
  void TokenRefused();

  // Starts a sign-in (device or browser); false with failure() when it cannot start.
  bool StartSignIn(WindowRef window);
  bool signingIn() const { return flow_ != Flow::kNone; }
  // Drops a sign-in under way (the user cancelled, the settings changed).
  void CancelSignIn();
  // A stored sign-in exists for the settings' provider, client and account.
  bool HasStoredToken();

  SignInEvent OnHttpDone(WindowRef window, WParam id);
  SignInEvent OnLoopback(WindowRef window);
  SignInEvent OnPollTimer(WindowRef window);

  SignInFailure failure() const { return failure_; }
  // The failure in English for the trace and the console, with the provider's words.
  const char* failureText() const { return failureText_; }
  const char* userCode() const { return device_.userCode; }
  const char* verificationUri() const { return device_.verificationUri; }
  const char* authorizationUrl() const { return authUrl_; }

 private:
  enum class Flow { kNone, kDevice, kBrowser };
  enum class Step { kIdle, kDiscovery, kRefresh, kDeviceCode, kDevicePoll, kCodeExchange };

  bool Prepare();  // provider resolved, record loaded; false with failure_
  bool LoadRecord();
  bool NeedsDiscovery() const;
  bool StartDiscovery(WindowRef window, int which);
  bool StartRefresh(WindowRef window);
  bool StartDeviceCode(WindowRef window);
  bool StartDevicePoll(WindowRef window);
  bool StartBrowser(WindowRef window);
  bool Post(WindowRef window, const char* url, const char* body, Step step);
  SignInEvent AfterDiscovery(WindowRef window);
  SignInEvent OnTokenReply(WindowRef window, const HttpReply& reply);
  SignInEvent OnDeviceReply(WindowRef window, const HttpReply& reply);
  // Keeps a token reply: a new refresh token stored first, then the access token.
  bool KeepTokens(bool signIn);
  SignInEvent Fail(SignInFailure why, const char* format, ...) KC_PRINTF_FORMAT(3, 4);
  SignInEvent FailProvider(const ProviderError& error);
  void EndFlow();
  void Trace(const char* format, ...) KC_PRINTF_FORMAT(2, 3);
  bool AddClient(class FormBuilder& form) const;

  SessionPorts ports_;
  const AccountSettings& settings_;
  Provider provider_;
  bool discovered_ = false;
  char discoveredFor_[kOAuthProviderSize] = {};
  TokenRecord record_;
  bool recordLoaded_ = false;
  TokenRecord owner_;  // whose tokens the session holds

  char access_[kAccessTokenSize] = {};
  int64_t accessExpiry_ = 0;
  bool fresh_ = false;

  Flow flow_ = Flow::kNone;
  Step step_ = Step::kIdle;
  WindowRef window_ = 0;  // where the sign-in's timer runs
  HttpRequestId request_ = 0;
  int64_t flowDeadline_ = 0;
  int32_t interval_ = 5;
  DeviceReply device_;
  char verifier_[64] = {};
  char state_[32] = {};
  char redirect_[64] = {};
  char authUrl_[kHttpUrlSize * 3] = {};

  SignInFailure failure_ = SignInFailure::kNone;
  char failureText_[768] = {};

  // Scratch: the request being built and the reply being read.
  char form_[kRefreshTokenSize + kDeviceCodeSize + 2048] = {};
  char body_[kHttpReplySize] = {};
  TokenReply tokens_;
};

}  // namespace kc
