// The OAuth 2.0 login through the real controller, session and poller over fakes: a refresh
// before the check (the rotated token stored before the AUTH line goes out), XOAUTH2 and
// OAUTHBEARER with a 6,000-character token, the server's error challenge answered and its
// refusal ending the check once, and no token in the trace or the kept reply.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "oauth/token_record.h"
#include "support/fake_hid.h"
#include "support/fake_oauth_ports.h"
#include "support/fake_tls.h"
#include "support/fake_winsock.h"
#include "text/base64.h"

namespace kc::test {
namespace {

std::string Decode(const std::string& line) {
  std::vector<uint8_t> out(line.size());
  size_t n = 0;
  if (!Base64Decode(line.c_str(), line.size(), out.data(), out.size(), &n)) return "(bad)";
  return std::string(reinterpret_cast<const char*>(out.data()), n);
}

std::string Base64(const std::string& text) {
  std::vector<char> out(Base64Length(text.size()) + 1);
  Base64Encode(reinterpret_cast<const uint8_t*>(text.data()), text.size(), out.data(), out.size());
  return out.data();
}

class OAuthLogin : public ::testing::Test {
 protected:
  void SetUp() override {
    h.app->UseSignIn(SignInPorts{http, tokens, crypto, loopback, browser});
    Settings& s = h.app->settings;
    s.ssl = kSslImplicit;
    s.auth = kAuthOAuth;
    std::strcpy(s.oauth, "microsoft");
    std::strcpy(s.clientId, "client-1");
    std::strcpy(s.user, "someone@example.org");
    std::memset(s.password, 0, sizeof s.password);
    Store("stored-refresh-token-1");
    server.Serve([this](const std::string& c) { return Reply(c); });
  }
  void TearDown() override {
    for (const std::string& secret : {accessToken, std::string("stored-refresh-token-1"),
                                      std::string("rotated-refresh-token-2")}) {
      EXPECT_EQ(h.trace.all.find(secret), std::string::npos) << "a token in the trace";
      EXPECT_EQ(std::string(h.app->poller.lastReply()).find(secret.substr(0, 40)),
                std::string::npos);
      for (const auto& line : h.notice.told) EXPECT_EQ(line.find(secret), std::string::npos);
      for (const auto& o : h.notice.outcomes) EXPECT_EQ(o.first.find(secret), std::string::npos);
    }
  }
  void Store(const char* refresh) {
    TokenRecord r;
    RecordOwner(h.app->settings, &r);
    std::strcpy(r.refreshToken, refresh);
    uint8_t bytes[kTokenRecordSize];
    size_t n = WriteTokenRecord(r, bytes, sizeof bytes);
    tokens.stored.assign(bytes, bytes + n);
    tokens.exists = true;
  }
  // The POP3 server: CAPA lists `sasl`; the response to AUTH is taken, or with
  // `errorChallenge` answered by an error challenge whose answer gets the refusal.
  std::string Reply(const std::string& c) {
    if (stage == 1) {
      responses.push_back(c);
      if (errorChallenge) {
        stage = 2;
        return "+ " + Base64("{\"status\":\"invalid_token\",\"scope\":\"mail\"}") + "\r\n";
      }
      stage = 3;
      return "+OK Logged in.\r\n";
    }
    if (stage == 2) {
      responses.push_back(c);
      stage = 3;
      return "-ERR [AUTH] Authentication failed\r\n";
    }
    if (c == "CAPA\r\n") return "+OK\r\n" + sasl + "\r\n.\r\n";
    if (c.rfind("AUTH ", 0) == 0) {
      authCommands.push_back(c);
      savesAtAuth = tokens.saves;
      stage = 1;
      return "+ \r\n";
    }
    if (c == "STAT\r\n") return "+OK 0 0\r\n";
    if (c == "QUIT\r\n") return "+OK bye\r\n";
    return "-ERR unexpected\r\n";
  }
  // Runs a check whose refresh the provider answers with `reply`.
  void CheckWithRefresh(const std::string& reply) {
    h.window.Post(CheckHarness::kMainWindow, SM_CHECK, 0, 0);
    h.Pump();
    ASSERT_EQ(http.sent.size(), 1u);
    EXPECT_EQ(http.sent[0].url, "https://login.microsoftonline.com/common/oauth2/v2.0/token");
    EXPECT_NE(http.sent[0].body.find("grant_type=refresh_token"), std::string::npos);
    EXPECT_NE(http.sent[0].body.find("refresh_token=stored-refresh-token-1"), std::string::npos);
    HttpRequestId id = http.Reply(200, reply);
    h.window.Post(CheckHarness::kMainWindow, SM_HTTPDONE, id, 0);
    h.Pump();
  }
  std::string TokenReply() const {
    return "{\"token_type\":\"Bearer\",\"expires_in\":3599,\"access_token\":\"" + accessToken +
           "\",\"refresh_token\":\"rotated-refresh-token-2\"}";
  }

  CheckHarness h;
  FakeTlsServer server{h.winsock, true};
  FakeHttp http;
  FakeTokenStore tokens;
  FakeCrypto crypto;
  FakeLoopback loopback;
  FakeBrowser browser;
  std::string accessToken = "at-" + std::string(6000, 'x') + "-end";
  std::string sasl = "SASL XOAUTH2 OAUTHBEARER";
  bool errorChallenge = false;
  int stage = 0;  // 0 before AUTH, 1 response awaited, 2 error answer awaited, 3 done
  std::vector<std::string> authCommands, responses;
  int savesAtAuth = -1;
};

struct Mechanism {
  const char* sasl;
  const char* command;
  const char* prefix;  // the decoded response up to the token
  const char* errorAnswer;
};

class OAuthMechanism : public OAuthLogin, public ::testing::WithParamInterface<Mechanism> {};

TEST_P(OAuthMechanism, RefreshesStoresTheRotatedTokenFirstAndLogsIn) {
  sasl = GetParam().sasl;
  CheckWithRefresh(TokenReply());
  EXPECT_EQ(h.checkDone, 1);
  EXPECT_EQ(h.app->status.serverError, 0);
  ASSERT_EQ(authCommands, (std::vector<std::string>{GetParam().command}));
  EXPECT_EQ(savesAtAuth, 1) << "the rotated refresh token is stored before the token is used";
  TokenRecord stored;
  ASSERT_TRUE(ReadTokenRecord(tokens.stored.data(), tokens.stored.size(), &stored));
  EXPECT_STREQ(stored.refreshToken, "rotated-refresh-token-2");
  ASSERT_EQ(responses.size(), 1u);
  const std::string line = responses[0];
  EXPECT_GT(line.size(), 8000u);
  ASSERT_EQ(line.substr(line.size() - 2), "\r\n");
  EXPECT_EQ(Decode(line.substr(0, line.size() - 2)),
            std::string(GetParam().prefix) + "auth=Bearer " + accessToken + "\x01\x01");

  // The next check uses the token kept in memory: no request, no save.
  stage = 0;
  responses.clear();
  h.RunCheck();
  EXPECT_EQ(h.checkDone, 2);
  EXPECT_EQ(http.sent.size(), 1u);
  EXPECT_EQ(tokens.saves, 1);
  ASSERT_EQ(responses.size(), 1u);
}

TEST_P(OAuthMechanism, ErrorChallengeIsAnsweredAndTheRefusalEndsTheCheckOnce) {
  sasl = GetParam().sasl;
  errorChallenge = true;
  CheckWithRefresh(TokenReply());
  EXPECT_EQ(h.checkDone, 1);
  EXPECT_EQ(h.app->status.serverError, 1);
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[1], std::string(GetParam().errorAnswer) + "\r\n");
  EXPECT_EQ(authCommands.size(), 1u) << "one login attempt, no loop";
  EXPECT_NE(h.trace.all.find("invalid_token"), std::string::npos) << h.TraceFrom("AppState = CAPA");
  ASSERT_FALSE(h.notice.outcomes.empty());
  EXPECT_EQ(h.notice.outcomes.back().first,
            "token refused by the mail server: -ERR [AUTH] Authentication failed");
  // A fresh token refused: sign in again, told in one box.
  ASSERT_EQ(h.box.shown.size(), 1u);
  EXPECT_NE(h.box.shown[0].text.find("もう一度サインイン"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, OAuthMechanism,
                         ::testing::Values(Mechanism{"SASL XOAUTH2 OAUTHBEARER", "AUTH XOAUTH2\r\n",
                                                     "user=someone@example.org\x01", ""},
                                           Mechanism{"SASL PLAIN oauthbearer",
                                                     "AUTH OAUTHBEARER\r\n",
                                                     "n,a=someone@example.org,\x01", "AQ=="}));

TEST_F(OAuthLogin, FailuresBeforeTheServerAreToldOnceEach) {
  // The provider refuses the stored sign-in: the record goes, a new sign-in starts.
  h.window.Post(CheckHarness::kMainWindow, SM_CHECK, 0, 0);
  h.Pump();
  HttpRequestId id =
      http.Reply(400,
                 "{\"error\":\"invalid_grant\",\"error_description\":\"AADSTS700082: The refresh "
                 "token has expired due to inactivity.\"}");
  h.window.Post(CheckHarness::kMainWindow, SM_HTTPDONE, id, 0);
  h.Pump();
  EXPECT_EQ(h.app->status.serverError, 1);
  EXPECT_EQ(h.app->status.busy, 0);
  EXPECT_TRUE(authCommands.empty());
  EXPECT_FALSE(tokens.exists);
  ASSERT_FALSE(h.notice.outcomes.empty());
  EXPECT_EQ(h.notice.outcomes.back().first,
            "sign-in expired or revoked, sign in again: invalid_grant: AADSTS700082: The refresh "
            "token has expired due to inactivity.");
  ASSERT_EQ(http.sent.size(), 2u);  // the device sign-in started by itself
  EXPECT_EQ(http.sent[1].url, "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode");
  const size_t boxes = h.box.shown.size();
  EXPECT_GE(boxes, 1u);

  // Checks at the next intervals while no sign-in is stored: a line each, no new box.
  for (int i = 0; i < 3; ++i) h.RunCheck();
  EXPECT_EQ(h.box.shown.size(), boxes);
  EXPECT_EQ(h.notice.outcomes.size(), 4u);
}

TEST_F(OAuthLogin, PlainConnectionRefusesOAuthWithWords) {
  h.app->settings.ssl = kSslNone;
  h.RunCheck();
  EXPECT_EQ(h.app->status.serverError, 1);
  EXPECT_TRUE(http.sent.empty());
  EXPECT_TRUE(h.winsock.sent.empty());
  ASSERT_FALSE(h.notice.outcomes.empty());
  EXPECT_EQ(h.notice.outcomes.back().first, "OAuth 2.0 needs a secured connection (SSL 1 or 2)");
}

// The device sign-in's code on the display, where the user reads it off: the real display code
// over the fake HID device into the HD44780 emulator.
TEST(OAuthDisplay, DeviceCodeShowsOnTheLcd) {
  FakePlatformWith<FakeHid> p;
  p.hid.interfaces = {LcdInterface()};
  App app(p.platform);
  app.mainWindow = 0x1234;
  app.display.firstPageAtOnce = true;
  app.MainWndProc(app.mainWindow, kWmCreate, 0, 0);
  FakeHttp http;
  FakeTokenStore tokens;
  FakeCrypto crypto;
  FakeLoopback loopback;
  FakeBrowser browser;
  app.UseSignIn(SignInPorts{http, tokens, crypto, loopback, browser});
  app.settings.ssl = kSslStartTls;
  app.settings.auth = kAuthOAuth;
  std::strcpy(app.settings.oauth, "microsoft");
  std::strcpy(app.settings.clientId, "client-1");
  std::strcpy(app.settings.user, "someone@example.org");

  p.box.answer = true;  // "open this address in the browser?" Yes
  app.MainWndProc(app.mainWindow, kWmCommand, IDM_SIGNIN, 0);
  ASSERT_EQ(http.sent.size(), 1u);
  HttpRequestId id = http.Reply(200, R"({"device_code":"D","user_code":"ABCD-EFGH",
      "verification_uri":"https://microsoft.com/devicelogin","expires_in":900})");
  app.MainWndProc(app.mainWindow, SM_HTTPDONE, id, 0);
  EXPECT_EQ(p.hid.lcd.RowUtf8(0), "CODE ABCD-EFGH  ");
  EXPECT_EQ(p.hid.lcd.Row(1), "ｻｲﾝｲﾝ ｼﾃｸﾀﾞｻｲ   ");  // code page 932, as the display takes it
  ASSERT_FALSE(p.notice.told.empty());
  EXPECT_EQ(p.notice.told.back(),
            "sign in: open https://microsoft.com/devicelogin and enter the code ABCD-EFGH");
  ASSERT_EQ(p.box.shown.size(), 1u);
  EXPECT_NE(p.box.shown[0].text.find("ABCD-EFGH"), std::string::npos);
  EXPECT_EQ(p.box.asked, 1);
  EXPECT_EQ(browser.opened, (std::vector<std::string>{"https://microsoft.com/devicelogin"}));
  app.MainWndProc(app.mainWindow, kWmDestroy, 0, 0);
}

}  // namespace
}  // namespace kc::test
