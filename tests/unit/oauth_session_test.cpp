// The sign-in's core over fakes: the provider's replies read (a table of real and broken
// ones), the SASL messages, the device grant's polling (interval, slow_down, expires_in), the
// access token kept until five minutes before its expiry, and a stored sign-in of another
// provider, client or account counting as none.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "oauth/provider.h"
#include "oauth/provider_reply.h"
#include "oauth/sasl.h"
#include "oauth/session.h"
#include "support/fake_oauth_ports.h"
#include "support/fakes.h"

namespace kc::test {
namespace {

TEST(OAuthReplies, TokenRepliesTable) {
  const std::string longToken(6500, 'a');
  const struct {
    std::string body;
    ReplyKind kind;
    const char* access;
    const char* refresh;
    int64_t expiresIn;
    const char* error;
  } cases[] = {
      {R"({"token_type":"Bearer","expires_in":3599,"access_token":"A1","refresh_token":"R1"})",
       ReplyKind::kOk, "A1", "R1", 3599, ""},
      // Microsoft's older endpoints send numbers as strings; no refresh token: none rotated.
      {R"({"token_type":"bearer","expires_in":"3600","access_token":"A2"})", ReplyKind::kOk, "A2",
       "", 3600, ""},
      {R"({"access_token":")" + longToken + R"("})", ReplyKind::kOk, longToken.c_str(), "", 0, ""},
      {R"({"error":"invalid_grant","error_description":"AADSTS700082: expired\r\nTrace"})",
       ReplyKind::kError, "", "", 0, "invalid_grant"},
      {R"({"error":"authorization_pending"})", ReplyKind::kError, "", "", 0,
       "authorization_pending"},
      {R"({"token_type":"mac","access_token":"A3"})", ReplyKind::kMalformed, "", "", 0, ""},
      {R"({"access_token":""})", ReplyKind::kMalformed, "", "", 0, ""},
      {R"({"access_token":")" + std::string(kAccessTokenSize, 'b') + R"("})", ReplyKind::kMalformed,
       "", "", 0, ""},
      {R"({"access_token":42})", ReplyKind::kMalformed, "", "", 0, ""},
      {"<html>502 Bad Gateway</html>", ReplyKind::kMalformed, "", "", 0, ""},
      {"[]", ReplyKind::kMalformed, "", "", 0, ""},
      {"", ReplyKind::kMalformed, "", "", 0, ""},
  };
  for (const auto& c : cases) {
    auto reply = std::make_unique<TokenReply>();
    ProviderError error;
    EXPECT_EQ(ParseTokenReply(c.body.c_str(), reply.get(), &error), c.kind) << c.body.substr(0, 80);
    EXPECT_STREQ(reply->accessToken, c.access);
    EXPECT_STREQ(reply->refreshToken, c.refresh);
    EXPECT_EQ(reply->expiresIn, c.expiresIn);
    EXPECT_STREQ(error.error, c.error);
  }
  ProviderError error;
  auto reply = std::make_unique<TokenReply>();
  ParseTokenReply(R"({"error":"x","error_description":"line\r\nbreak\u0007"})", reply.get(),
                  &error);
  EXPECT_STREQ(error.description, "line  break?");  // safe for one trace line
}

TEST(OAuthReplies, DeviceAndDiscovery) {
  DeviceReply d;
  ProviderError e;
  ASSERT_EQ(ParseDeviceReply(R"({"device_code":"DC","user_code":"ABCD-EFGH",
      "verification_uri":"https://microsoft.com/devicelogin","expires_in":900,"interval":5})",
                             &d, &e),
            ReplyKind::kOk);
  EXPECT_STREQ(d.userCode, "ABCD-EFGH");
  EXPECT_EQ(d.interval, 5);
  EXPECT_EQ(d.expiresIn, 900);
  // No interval (oidc-provider): RFC 8628's 5 s; Google's "verification_url".
  ASSERT_EQ(ParseDeviceReply(
                R"({"device_code":"DC","user_code":"X","verification_url":"https://g.co/device"})",
                &d, &e),
            ReplyKind::kOk);
  EXPECT_EQ(d.interval, 5);
  EXPECT_STREQ(d.verificationUri, "https://g.co/device");
  EXPECT_EQ(ParseDeviceReply(R"({"user_code":"X","verification_uri":"u"})", &d, &e),
            ReplyKind::kMalformed);

  ProviderEndpoints p;
  ASSERT_EQ(
      ParseDiscovery(R"({"issuer":"https://id.example","token_endpoint":"https://id.example/t",
      "authorization_endpoint":"https://id.example/a"})",
                     &p),
      ReplyKind::kOk);
  EXPECT_STREQ(p.device, "");
  EXPECT_EQ(ParseDiscovery(R"({"issuer":"x"})", &p), ReplyKind::kMalformed);
}

TEST(OAuthProviders, TableAndAddresses) {
  Settings s;
  Provider p;
  char why[256];
  std::strcpy(s.oauth, "Microsoft");
  ASSERT_TRUE(ResolveProvider(s, &p, why, sizeof why));
  EXPECT_STREQ(p.endpoints.device,
               "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode");
  EXPECT_STREQ(p.scope, "https://outlook.office.com/POP.AccessAsUser.All offline_access");
  EXPECT_TRUE(UsesDeviceGrant(p));
  std::strcpy(s.tenant, "contoso.onmicrosoft.com");
  ASSERT_TRUE(ResolveProvider(s, &p, why, sizeof why));
  EXPECT_STREQ(p.endpoints.token,
               "https://login.microsoftonline.com/contoso.onmicrosoft.com/oauth2/v2.0/token");
  std::strcpy(s.tenant, "../evil?x=");
  EXPECT_FALSE(ResolveProvider(s, &p, why, sizeof why));
  std::strcpy(s.oauth, "google");
  ASSERT_TRUE(ResolveProvider(s, &p, why, sizeof why));
  EXPECT_FALSE(UsesDeviceGrant(p));
  EXPECT_STREQ(p.scope, "https://mail.google.com/");
  std::strcpy(s.oauth, "https://id.example.org/realms/mail/");
  ASSERT_TRUE(ResolveProvider(s, &p, why, sizeof why));
  EXPECT_STREQ(p.discovery[0],
               "https://id.example.org/realms/mail/.well-known/openid-configuration");
  EXPECT_STREQ(p.discovery[1],
               "https://id.example.org/.well-known/oauth-authorization-server/realms/mail");
  for (const char* bad :
       {"http://id.example.org", "ftp://x", "id.example.org", "http://127.evil.com/"}) {
    std::strcpy(s.oauth, bad);
    EXPECT_FALSE(ResolveProvider(s, &p, why, sizeof why)) << bad;
  }
  for (const char* ok : {"http://127.0.0.1:9000", "http://localhost/", "https://a"}) {
    EXPECT_TRUE(EndpointAllowed(ok)) << ok;
  }
}

TEST(OAuthSasl, EncodingsAndChoice) {
  char out[512];
  ASSERT_GT(BuildSaslResponse(SaslMechanism::kXoauth2, "u@x", "T", out, sizeof out), 0u);
  EXPECT_STREQ(out, "dXNlcj11QHgBYXV0aD1CZWFyZXIgVAEB");  // user=u@x^Aauth=Bearer T^A^A
  ASSERT_GT(BuildSaslResponse(SaslMechanism::kOauthBearer, "a,b=c", "T", out, sizeof out), 0u);
  // n,a=a=2Cb=3Dc,^Aauth=Bearer T^A^A
  EXPECT_STREQ(out, "bixhPWE9MkNiPTNEYywBYXV0aD1CZWFyZXIgVAEB");
  EXPECT_EQ(BuildSaslResponse(SaslMechanism::kXoauth2, "u", "T\r\nQUIT", out, sizeof out), 0u);
  EXPECT_EQ(BuildSaslResponse(SaslMechanism::kXoauth2, "u", std::string(400, 't').c_str(), out,
                              sizeof out),
            0u);  // does not fit: nothing half written goes out
  char offered[64];
  const struct {
    const char* capa;
    SaslMechanism chosen;
    const char* offered;
  } cases[] = {
      {"+OK\r\nUSER\r\nSASL PLAIN XOAUTH2 OAUTHBEARER\r\nPIPELINING", SaslMechanism::kXoauth2,
       "PLAIN XOAUTH2 OAUTHBEARER"},
      {"+OK\r\nsasl oauthbearer", SaslMechanism::kOauthBearer, "oauthbearer"},
      {"+OK\r\nSASL PLAIN XOAUTH2X", SaslMechanism::kNone, "PLAIN XOAUTH2X"},
      {"+OK\r\nSASLX XOAUTH2", SaslMechanism::kNone, ""},
      {"+OK\r\nUSER", SaslMechanism::kNone, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ChooseSaslMechanism(c.capa, std::strlen(c.capa), offered, sizeof offered), c.chosen)
        << c.capa;
    EXPECT_STREQ(offered, c.offered);
  }
}

// The session alone over fakes, with Microsoft's known endpoints.
class OAuthSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    s.ssl = kSslImplicit;
    s.auth = kAuthOAuth;
    std::strcpy(s.oauth, "microsoft");
    std::strcpy(s.clientId, "client-1");
    std::strcpy(s.user, "someone@example.org");
  }
  HttpRequestId Answer(const std::string& body, int32_t status = 200) {
    return http.Reply(status, body);
  }
  Settings s;
  FakeHttp http;
  FakeTokenStore tokens;
  FakeCrypto crypto;
  FakeLoopback loopback;
  FakeBrowser browser;
  FakeWindow window;
  FakeClock clock;
  FakeTrace trace;
  OAuthSession session{{http, tokens, crypto, loopback, browser, window, clock, trace}, s};
};

TEST_F(OAuthSessionTest, DeviceGrantPollsAtItsIntervalSlowsDownAndEnds) {
  ASSERT_TRUE(session.StartSignIn(1));
  ASSERT_EQ(http.sent.size(), 1u);
  EXPECT_EQ(http.sent[0].body,
            "client_id=client-1&scope=https%3A%2F%2Foutlook.office.com%2FPOP."
            "AccessAsUser.All%20offline_access");
  EXPECT_EQ(session.OnHttpDone(1, Answer(R"({"device_code":"DEV","user_code":"ABCD-EFGH",
      "verification_uri":"https://microsoft.com/devicelogin","expires_in":60,"interval":7})")),
            SignInEvent::kShowCode);
  EXPECT_STREQ(session.userCode(), "ABCD-EFGH");
  EXPECT_EQ(window.timers[TIMER_SIGNINPOLL], 7000u);
  EXPECT_EQ(session.OnPollTimer(1), SignInEvent::kNothing);
  ASSERT_EQ(http.sent.size(), 2u);
  EXPECT_NE(http.sent[1].body.find("device_code=DEV"), std::string::npos);
  EXPECT_EQ(session.OnHttpDone(1, Answer(R"({"error":"authorization_pending"})", 400)),
            SignInEvent::kNothing);
  EXPECT_EQ(window.timers[TIMER_SIGNINPOLL], 7000u);
  session.OnPollTimer(1);
  EXPECT_EQ(session.OnHttpDone(1, Answer(R"({"error":"slow_down"})", 400)), SignInEvent::kNothing);
  EXPECT_EQ(window.timers[TIMER_SIGNINPOLL], 12000u);  // 5 s more from now on
  clock.now += 61;
  EXPECT_EQ(session.OnPollTimer(1), SignInEvent::kSignInFailed);
  EXPECT_EQ(session.failure(), SignInFailure::kDeclined);
  EXPECT_EQ(http.sent.size(), 3u);
  EXPECT_FALSE(session.signingIn());
  EXPECT_EQ(window.timers.count(TIMER_SIGNINPOLL), 0u);
}

TEST_F(OAuthSessionTest, TokenKeptUntilFiveMinutesBeforeExpiryAndOwnedByTheAccount) {
  ASSERT_TRUE(session.StartSignIn(1));
  session.OnHttpDone(
      1, Answer(R"({"device_code":"DEV","user_code":"C","verification_uri":"https://m/d"})"));
  session.OnPollTimer(1);
  EXPECT_EQ(session.OnHttpDone(
                1, Answer(R"({"access_token":"AT1","refresh_token":"RT1","expires_in":3600})")),
            SignInEvent::kSignedIn);
  EXPECT_EQ(tokens.saves, 1);
  EXPECT_EQ(session.AcquireToken(1), TokenState::kReady);
  EXPECT_STREQ(session.accessToken(), "AT1");
  clock.now += 3600 - 301;
  EXPECT_EQ(session.AcquireToken(1), TokenState::kReady);
  clock.now += 2;  // within five minutes of the expiry: refreshed
  EXPECT_EQ(session.AcquireToken(1), TokenState::kPending);
  EXPECT_NE(http.sent.back().body.find("refresh_token=RT1"), std::string::npos);
  EXPECT_EQ(session.OnHttpDone(1, Answer(R"({"access_token":"AT2","expires_in":3600})")),
            SignInEvent::kTokenReady);
  EXPECT_STREQ(session.accessToken(), "AT2");
  EXPECT_EQ(tokens.saves, 1);  // no new refresh token: nothing to store

  // Another account, client or provider: the stored sign-in is not theirs.
  const size_t requests = http.sent.size();
  for (int change = 0; change < 3; ++change) {
    Settings other = s;
    if (change == 0) std::strcpy(s.user, "other@example.org");
    if (change == 1) std::strcpy(s.clientId, "client-2");
    if (change == 2) std::strcpy(s.tenant, "contoso");
    EXPECT_EQ(session.AcquireToken(1), TokenState::kFailed) << change;
    EXPECT_EQ(session.failure(), SignInFailure::kNoToken);
    EXPECT_FALSE(session.HasStoredToken());
    s = other;
  }
  EXPECT_EQ(http.sent.size(), requests);
  EXPECT_EQ(trace.all.find("AT1"), std::string::npos);
  EXPECT_EQ(trace.all.find("RT1"), std::string::npos);
}

TEST_F(OAuthSessionTest, ProviderErrorsBecomeFailuresWithTheirWords) {
  const struct {
    const char* body;
    int32_t status;
    HttpOutcome outcome;
    SignInFailure failure;
    const char* text;
  } cases[] = {
      {R"({"error":"invalid_grant","error_description":"AADSTS700082: expired"})", 400,
       HttpOutcome::kReplied, SignInFailure::kExpired,
       "sign-in expired or revoked, sign in again: invalid_grant: AADSTS700082: expired"},
      {R"({"error":"invalid_client","error_description":"AADSTS65001: consent"})", 400,
       HttpOutcome::kReplied, SignInFailure::kConsent,
       "the provider refused the sign-in: invalid_client: AADSTS65001: consent"},
      {"<html>", 502, HttpOutcome::kReplied, SignInFailure::kUnreachable,
       "the provider's token reply is not usable (HTTP 502)"},
      {"", 0, HttpOutcome::kFailed, SignInFailure::kUnreachable,
       "the provider could not be reached: Could not resolve host"},
  };
  for (const auto& c : cases) {
    TokenRecord r;
    RecordOwner(s, &r);
    std::strcpy(r.refreshToken, "RT");
    uint8_t bytes[kTokenRecordSize];
    size_t n = WriteTokenRecord(r, bytes, sizeof bytes);
    tokens.stored.assign(bytes, bytes + n);
    tokens.exists = true;
    OAuthSession fresh{{http, tokens, crypto, loopback, browser, window, clock, trace}, s};
    ASSERT_EQ(fresh.AcquireToken(1), TokenState::kPending);
    EXPECT_EQ(
        fresh.OnHttpDone(1, http.Reply(c.status, c.body, c.outcome, "Could not resolve host")),
        SignInEvent::kTokenFailed);
    EXPECT_EQ(fresh.failure(), c.failure);
    EXPECT_STREQ(fresh.failureText(), c.text);
    EXPECT_EQ(tokens.exists, c.failure != SignInFailure::kExpired) << c.text;
  }
}

TEST_F(OAuthSessionTest, BrowserSignInChecksStateAndClosesTheListener) {
  std::strcpy(s.oauth, "google");
  std::strcpy(s.clientSecret, "google-secret");
  ASSERT_TRUE(session.StartSignIn(1));
  ASSERT_EQ(browser.opened.size(), 1u);
  const std::string url = browser.opened[0];
  EXPECT_EQ(url.rfind("https://accounts.google.com/o/oauth2/v2/auth?response_type=code", 0), 0u);
  EXPECT_NE(url.find("code_challenge_method=S256"), std::string::npos);
  EXPECT_NE(url.find("redirect_uri=http%3A%2F%2F127.0.0.1%3A50123%2Fcallback"), std::string::npos);
  EXPECT_EQ(url.find("google-secret"), std::string::npos);
  const size_t at = url.find("state=") + 6;
  const std::string state = url.substr(at, url.find('&', at) - at);

  loopback.requests = {"/favicon.ico", "/callback?state=forged&code=C0", "/callback?code=C0",
                       "/callback?code=C1&state=" + state};
  EXPECT_EQ(session.OnLoopback(1), SignInEvent::kNothing);
  ASSERT_EQ(loopback.answers.size(), 4u);
  EXPECT_EQ(loopback.answers[0].first, 404);
  EXPECT_EQ(loopback.answers[1].first, 400);
  EXPECT_EQ(loopback.answers[2].first, 400);
  EXPECT_EQ(loopback.answers[3].first, 200);
  EXPECT_FALSE(loopback.open);
  ASSERT_EQ(http.sent.size(), 1u);
  EXPECT_EQ(http.sent[0].url, "https://oauth2.googleapis.com/token");
  EXPECT_NE(http.sent[0].body.find("code=C1&"), std::string::npos);
  EXPECT_NE(http.sent[0].body.find("client_secret=google-secret"), std::string::npos);
  EXPECT_NE(http.sent[0].body.find("code_verifier="), std::string::npos);
  EXPECT_EQ(session.OnHttpDone(1, Answer(R"({"access_token":"AT","refresh_token":"RT"})")),
            SignInEvent::kSignedIn);
  for (const char* secret : {"C1", "google-secret", "AT\r", "RT\r"}) {
    EXPECT_EQ(trace.all.find(secret), std::string::npos) << secret;
  }
}

}  // namespace
}  // namespace kc::test
