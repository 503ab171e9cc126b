// The settings dialog's core: what the form shows when it opens and the rules of its OK.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/fakes.h"

namespace kc::test {
namespace {

// "全ての項目が設定されていません" in code page 932.
const char kIncomplete[] =
    "\x91\x53\x82\xC4\x82\xCC\x8D\x80\x96\xDA\x82\xAA\x90\xDD\x92\xE8\x82\xB3\x82\xEA\x82\xC4"
    "\x82\xA2\x82\xDC\x82\xB9\x82\xF1";

struct DialogHarness {
  Settings settings;
  CheckStatus status;
  FakeRegistry registry;
  FakeMessageBox box;
  SettingsDialog dialog{settings, status.ready, registry, box};

  // A form as the user would leave it: all three required fields filled.
  static SettingsForm CompleteForm() {
    SettingsForm form;
    std::strcpy(form.server, "pop.example.jp");
    std::strcpy(form.user, "taro");
    std::strcpy(form.password, "secret");
    std::strcpy(form.mailer, "C:\\Mail\\mail.exe -check");
    form.interval = 10;
    form.intervalOk = true;
    form.listChecked = true;
    form.ledChecked = true;
    return form;
  }
  // What the store holds now, read back through the store itself.
  Settings Stored() {
    Settings s;
    LoadSettings(s, registry);
    return s;
  }
};

TEST(SettingsDialog, FillShowsTheRecord) {
  DialogHarness h;
  std::strcpy(h.settings.server, "pop.example.jp");
  std::strcpy(h.settings.user, "taro");
  std::strcpy(h.settings.password, "secret");
  std::strcpy(h.settings.mailer, "C:\\Mail\\mail.exe");
  h.settings.interval = -5;
  h.settings.listSenders = 1;
  h.settings.ledAuto = 2;
  SettingsForm form;
  h.dialog.Fill(&form);
  EXPECT_STREQ(form.server, "pop.example.jp");
  EXPECT_STREQ(form.user, "taro");
  EXPECT_STREQ(form.password, "secret");
  EXPECT_STREQ(form.mailer, "C:\\Mail\\mail.exe");
  EXPECT_EQ(form.interval, 4294967291u);  // shown as an unsigned number
  EXPECT_TRUE(form.listChecked);
  EXPECT_FALSE(form.ledChecked);  // only exactly 1 counts as on
}

struct IntervalCase {
  const char* text;  // what the number field holds
  int32_t expected;
};

TEST(SettingsDialog, IntervalRule) {
  const IntervalCase cases[] = {
      {"4", 30},
      {"0", 30},
      {"", 30},
      {"5", 5},
      {"60", 60},
      {"3000000000", 30},
      {"2147483647", 2147483647},
      {"2147483648", 30},
      {"4294967291", 30},
      {"4294967296", 30},
      {"abc", 30},
      {"  12", 12},
      {"12abc", 12},
  };
  for (const IntervalCase& c : cases) {
    DialogHarness h;
    SettingsForm form = DialogHarness::CompleteForm();
    form.intervalOk = ReadUnsignedNumber(c.text, &form.interval);
    EXPECT_TRUE(h.dialog.Accept(form)) << c.text;
    EXPECT_EQ(h.settings.interval, c.expected) << "'" << c.text << "'";
  }
}

TEST(SettingsDialog, ReadUnsignedNumberAsTheNumberFieldIsRead) {
  const struct {
    const char* text;
    bool ok;
    uint32_t value;
  } cases[] = {
      {"", false, 0},
      {"   ", false, 0},
      {"-5", false, 0},
      {"+5", false, 0},
      {"x1", false, 0},
      {" \t7", true, 7},
      {"007", true, 7},
      {"42 min", true, 42},
      {"4294967295", true, 4294967295u},
      {"4294967296", false, 0},
      {"99999999999999999999999", false, 0},
  };
  for (const auto& c : cases) {
    uint32_t value = 123;
    EXPECT_EQ(ReadUnsignedNumber(c.text, &value), c.ok) << "'" << c.text << "'";
    EXPECT_EQ(value, c.value) << "'" << c.text << "'";
  }
}

TEST(SettingsDialog, CompleteOkSavesAndMarksReady) {
  DialogHarness h;
  SettingsForm form = DialogHarness::CompleteForm();
  form.mailer[0] = '\0';  // the mail program takes no part in the rule
  form.listChecked = false;
  EXPECT_TRUE(h.dialog.Accept(form));
  EXPECT_EQ(h.status.ready, 1);
  EXPECT_TRUE(h.box.shown.empty());
  Settings stored = h.Stored();
  EXPECT_STREQ(stored.server, "pop.example.jp");
  EXPECT_STREQ(stored.user, "taro");
  EXPECT_STREQ(stored.password, "secret");
  EXPECT_STREQ(stored.mailer, "");
  EXPECT_EQ(stored.interval, 10);
  EXPECT_EQ(stored.listSenders, 0);
  EXPECT_EQ(stored.ledAuto, 1);
}

TEST(SettingsDialog, MissingRequiredFieldWarnsAndLeavesTheRegistryAlone) {
  for (int missing = 0; missing < 3; ++missing) {
    DialogHarness h;
    h.status.ready = 1;
    SettingsForm form = DialogHarness::CompleteForm();
    char* fields[] = {form.server, form.user, form.password};
    fields[missing][0] = '\0';
    form.interval = 2;
    EXPECT_FALSE(h.dialog.Accept(form)) << missing;
    ASSERT_EQ(h.box.shown.size(), 1u);
    EXPECT_EQ(h.box.shown[0].owner, 0u);  // no owner window
    EXPECT_EQ(h.box.shown[0].text, kIncomplete);
    EXPECT_EQ(h.box.shown[0].caption, "KESTOVA");
    EXPECT_EQ(h.status.ready, 0);
    EXPECT_TRUE(h.registry.values.empty());
    EXPECT_TRUE(h.registry.order.empty());
    // The record holds what was entered, the corrected interval included.
    EXPECT_STREQ(h.settings.mailer, form.mailer);
    EXPECT_EQ(h.settings.interval, 30);
    if (missing == 2) {
      EXPECT_STREQ(h.settings.password, "");
    }
  }
}

TEST(SettingsDialog, TextsAreCutToTheirFields) {
  DialogHarness h;
  SettingsForm form = DialogHarness::CompleteForm();
  // Fields filled to the last byte with no NUL: the core reads no further than the cut.
  std::memset(form.server, 's', sizeof form.server);
  std::memset(form.user, 'u', sizeof form.user);
  std::memset(form.password, 'p', sizeof form.password);
  std::memset(form.mailer, 'm', sizeof form.mailer);
  EXPECT_TRUE(h.dialog.Accept(form));
  EXPECT_EQ(std::string(h.settings.server), std::string(254, 's'));
  EXPECT_EQ(std::string(h.settings.user), std::string(79, 'u'));
  EXPECT_EQ(std::string(h.settings.password), std::string(79, 'p'));
  EXPECT_EQ(std::string(h.settings.mailer), std::string(259, 'm'));
  EXPECT_EQ(std::string(h.Stored().server), std::string(254, 's'));
}

TEST(SettingsDialog, CheckBoxesAreStoredAsZeroOrOne) {
  DialogHarness h;
  h.settings.ledAuto = 2;  // loaded as 2: opens unchecked
  h.settings.listSenders = 7;
  SettingsForm opened;
  h.dialog.Fill(&opened);
  SettingsForm form = DialogHarness::CompleteForm();
  form.listChecked = opened.listChecked;
  form.ledChecked = opened.ledChecked;  // the LED box is disabled: it stays as opened
  EXPECT_TRUE(h.dialog.Accept(form));
  EXPECT_EQ(h.settings.ledAuto, 0);
  EXPECT_EQ(h.settings.listSenders, 0);
  EXPECT_EQ(h.Stored().ledAuto, 0);
}

TEST(SettingsDialog, OkWithoutChangesWritesBackWhatWasLoaded) {
  DialogHarness h;
  std::strcpy(h.settings.server, "pop.example.jp");
  std::strcpy(h.settings.user, "taro");
  std::strcpy(h.settings.password, "secret");
  std::strcpy(h.settings.mailer, "C:\\Mail\\mail.exe -check");
  h.settings.interval = 15;
  h.settings.listSenders = 0;
  h.settings.ledAuto = 1;
  Settings before = h.settings;
  SettingsForm form;
  h.dialog.Fill(&form);
  EXPECT_TRUE(h.dialog.Accept(form));
  EXPECT_EQ(std::memcmp(&before, &h.settings, sizeof before), 0);

  // -5 loaded, shown as 4294967291, becomes 30 on OK.
  h.settings.interval = -5;
  h.dialog.Fill(&form);
  EXPECT_TRUE(h.dialog.Accept(form));
  EXPECT_EQ(h.settings.interval, 30);
}

// Through the controller: a refused OK blocks checks, an accepted one lets them run.
TEST(SettingsDialog, ReadyGatesTheChecks) {
  FakePlatform f;
  App app(f.platform);
  SettingsForm form = DialogHarness::CompleteForm();
  form.password[0] = '\0';
  f.dialog.onRun = [&](const SettingsForm&, SettingsFormJudge& d) { d.Judge(form, nullptr); };
  app.MainWndProc(1, SM_START, 0, 0);  // incomplete settings: the dialog opens
  EXPECT_EQ(f.dialog.runs, 1);
  EXPECT_EQ(app.status.ready, 0);
  app.MainWndProc(1, SM_CHECK, 0, 0);
  EXPECT_EQ(app.status.busy, 0);

  std::strcpy(form.password, "secret");
  app.MainWndProc(1, kWmCommand, IDM_PROPERTIES, 0);
  EXPECT_EQ(app.status.ready, 1);
  app.MainWndProc(1, SM_CHECK, 0, 0);
  EXPECT_EQ(app.status.busy, 1);
}

}  // namespace
}  // namespace kc::test

namespace kc::test {
namespace {

// A SHA-256 fingerprint as a user copies it: pairs of hex digits with colons.
const char kPin[] =
    "AB:CD:EF:01:23:45:67:89:ab:cd:ef:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:"
    "67:89";

// The encryption list shows the SSL value and writes back the item chosen; PORT and CERTPIN
// come back as the second dialog showed them.
TEST(SettingsDialog, EncryptionListMapsTheSslValue) {
  const struct {
    int32_t stored;
    int32_t shown;
    int32_t chosen;
    int32_t saved;
  } cases[] = {
      {kSslNone, kEncryptionNone, kEncryptionNone, kSslNone},
      {kSslImplicit, kEncryptionTls, kEncryptionTls, kSslImplicit},
      {kSslStartTls, kEncryptionStartTls, kEncryptionStartTls, kSslStartTls},
      {kSslNone, kEncryptionNone, kEncryptionStartTls, kSslStartTls},
      {7, kEncryptionTls, kEncryptionTls, kSslImplicit},      // unknown, secured all the same
      {kSslStartTls, kEncryptionStartTls, -1, kSslStartTls},  // nothing chosen: kept
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    DialogHarness h;
    h.settings.ssl = c.stored;
    h.settings.port = 1995;
    std::strcpy(h.settings.certPin, kPin);
    SettingsForm shown;
    h.dialog.Fill(&shown);
    EXPECT_EQ(shown.encryption, c.shown);
    EXPECT_STREQ(shown.port, "1995");
    SettingsForm form = DialogHarness::CompleteForm();
    std::strcpy(form.port, shown.port);
    std::strcpy(form.certPin, shown.certPin);
    form.encryption = c.chosen;
    ASSERT_TRUE(h.dialog.Accept(form));
    EXPECT_EQ(h.settings.ssl, c.saved);
    EXPECT_EQ(h.settings.port, 1995);
    EXPECT_STREQ(h.settings.certPin, kPin);
    EXPECT_EQ(h.Stored().ssl, c.saved);
  }
}

// A key from before the secure connection: the OK with "なし" writes the seven values and no
// more; an SSL the load could not read shows as SSL/TLS and is stored as chosen.
TEST(SettingsDialog, OkWithoutEncryptionOnASevenValueKeyWritesSeven) {
  const std::vector<std::string> seven = {"SERVER", "USER", "PASS",   "TIME",
                                          "LIST",   "LED",  "MAILLER"};
  DialogHarness h;
  ASSERT_TRUE(h.dialog.Accept(DialogHarness::CompleteForm()));
  ASSERT_EQ(h.registry.order, seven);
  h.registry.order.clear();
  Settings loaded = h.Stored();
  SettingsDialog again{loaded, h.status.ready, h.registry, h.box};
  SettingsForm form;
  again.Fill(&form);
  EXPECT_EQ(form.encryption, kEncryptionNone);
  ASSERT_TRUE(again.Accept(form));
  EXPECT_EQ(h.registry.order, seven);
  EXPECT_EQ(h.registry.values.size(), 7u);

  h.registry.values["SSL"] = {11, {0, 0, 0, 0, 0, 0, 0, 0}};  // a REG_QWORD
  loaded = h.Stored();
  again.Fill(&form);
  EXPECT_EQ(form.encryption, kEncryptionTls);
  form.encryption = kEncryptionNone;
  ASSERT_TRUE(again.Accept(form));
  EXPECT_EQ(h.registry.values["SSL"].type, kRegDword);
  EXPECT_EQ(h.registry.values["SSL"].bytes, std::vector<uint8_t>(4, 0));
}

// The second dialog's port and pin fields: what each text stores, and the refusals, which
// show their box, leave the record and the key as they were and keep the form open.
TEST(SettingsDialog, PortAndPinFieldsAreJudgedBeforeAnythingIsTaken) {
  const struct {
    const char* port;
    const char* pin;
    bool taken;
    int32_t storedPort;
    const char* boxWord;  // a word of the refusal's box
  } cases[] = {
      {"", "", true, 0, nullptr},
      {"995", "", true, 995, nullptr},
      {" 1995 ", kPin, true, 1995, nullptr},
      {"65535", "abcdef0123456789ABCDEF0123456789abcdef0123456789ABCDEF0123456789", true, 65535,
       nullptr},
      {"0", "", false, 0, "65535"},
      {"65536", "", false, 0, "65535"},
      {"99999999999", "", false, 0, "65535"},
      {"12x", "", false, 0, "65535"},
      {"", "AB:CD", false, 0, "SHA-256"},  // too short to ever match
      {"",
       "zz:CD:EF:01:23:45:67:89:ab:cd:ef:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01"
       ":23:45:67:89",
       false, 0, "SHA-256"},  // not hex
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.port) + " / " + c.pin);
    DialogHarness h;
    SettingsForm form = DialogHarness::CompleteForm();
    std::strcpy(form.port, c.port);
    std::strcpy(form.certPin, c.pin);
    EXPECT_EQ(h.dialog.JudgeAdvanced(form), c.taken);
    EXPECT_EQ(h.dialog.Accept(form), c.taken);
    if (c.taken) {
      EXPECT_TRUE(h.box.shown.empty());
      EXPECT_EQ(h.Stored().port, c.storedPort);
      EXPECT_STREQ(h.Stored().certPin, c.pin);
      EXPECT_EQ(h.registry.values.count("PORT"), c.storedPort != 0 ? 1u : 0u);
      EXPECT_EQ(h.registry.values.count("CERTPIN"), c.pin[0] != '\0' ? 1u : 0u);
    } else {
      ASSERT_EQ(h.box.shown.size(), 2u);  // once for each judgement
      EXPECT_NE(h.box.shown[0].text.find(c.boxWord), std::string::npos) << h.box.shown[0].text;
      EXPECT_EQ(h.box.shown[0].caption, "KESTOVA");
      EXPECT_TRUE(h.registry.values.empty());
      EXPECT_STREQ(h.settings.server, "");  // nothing of the form was taken
    }
  }
}

// A PORT outside the field's range that the key holds shows as an empty field and stays as it
// is when the field is left empty; a typed port replaces it.
TEST(SettingsDialog, APortOnlyTheKeyCanHoldIsKeptWhenLeftEmpty) {
  DialogHarness h;
  h.settings.port = 70000;
  SettingsForm form;
  h.dialog.Fill(&form);
  EXPECT_STREQ(form.port, "");
  SettingsForm entered = DialogHarness::CompleteForm();
  ASSERT_TRUE(h.dialog.Accept(entered));
  EXPECT_EQ(h.settings.port, 70000);
  std::strcpy(entered.port, "110");
  ASSERT_TRUE(h.dialog.Accept(entered));
  EXPECT_EQ(h.Stored().port, 110);
}

// OAuth 2.0 from the second dialog: refused without encryption or a provider, each with its
// box; taken without a password, and AUTH and the sign-in's texts then reach the key.
TEST(SettingsDialog, OAuthNeedsEncryptionAndAProviderButNoPassword) {
  const struct {
    int32_t encryption;
    const char* provider;
    const char* password;
    bool taken;
    const char* boxWord;
  } cases[] = {
      {kEncryptionNone, "microsoft", "", false, "暗号化"},
      {kEncryptionTls, "", "", false, "プロバイダー"},
      {kEncryptionTls, "microsoft", "", true, nullptr},
      {kEncryptionStartTls, "https://id.example.jp", "old", true, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.provider);
    DialogHarness h;
    SettingsForm form = DialogHarness::CompleteForm();
    std::strcpy(form.password, c.password);
    form.login = kLoginOAuth;
    form.encryption = c.encryption;
    std::strcpy(form.provider, c.provider);
    std::strcpy(form.clientId, "client-1");
    std::strcpy(form.tenant, "contoso.onmicrosoft.com");
    EXPECT_EQ(h.dialog.JudgeAdvanced(form), c.taken);
    EXPECT_EQ(h.dialog.Accept(form), c.taken);
    if (!c.taken) {
      ASSERT_FALSE(h.box.shown.empty());
      EXPECT_NE(h.box.shown[0].text.find(c.boxWord), std::string::npos) << h.box.shown[0].text;
      EXPECT_TRUE(h.registry.values.empty());
      continue;
    }
    EXPECT_TRUE(h.box.shown.empty());
    EXPECT_EQ(h.status.ready, 1);
    Settings stored = h.Stored();
    EXPECT_EQ(stored.auth, kAuthOAuth);
    EXPECT_STREQ(stored.oauth, c.provider);
    EXPECT_STREQ(stored.clientId, "client-1");
    EXPECT_STREQ(stored.tenant, "contoso.onmicrosoft.com");
    EXPECT_STREQ(stored.password, c.password);               // kept as entered, not used
    EXPECT_EQ(h.registry.values.count("CLIENTSECRET"), 0u);  // empty and never stored

    // Shown again as it was saved; back to the password, which is then required again.
    SettingsForm shown;
    h.dialog.Fill(&shown);
    EXPECT_EQ(shown.login, kLoginOAuth);
    EXPECT_STREQ(shown.provider, c.provider);
    shown.login = kLoginPassword;
    shown.password[0] = '\0';
    EXPECT_FALSE(h.dialog.Accept(shown));
    EXPECT_EQ(h.box.shown.back().text, kIncomplete);
  }
}

class FakeSignInView final : public SignInView {
 public:
  bool TokenStored(const Settings& s) override { return std::strcmp(s.oauth, stored) == 0; }
  void SignIn(const Settings& s) override { started.push_back(s); }
  const char* stored = "google";
  std::vector<Settings> started;
};

// The サインイン button signs in for the saved settings; with values changed in the form it
// asks for them to be saved first (its box), and without a view it does nothing. The form
// shows whether a token is kept for what it holds.
TEST(SettingsDialog, SignInIsForTheSavedSettingsAndShowsTheStoredToken) {
  DialogHarness h;
  SettingsForm shown;
  h.dialog.Fill(&shown);
  EXPECT_FALSE(shown.signInAvailable);
  h.dialog.SignIn(DialogHarness::CompleteForm());  // no view: nothing, no box
  EXPECT_TRUE(h.box.shown.empty());

  FakeSignInView view;
  h.dialog.UseSignIn(&view);
  SettingsForm form = DialogHarness::CompleteForm();
  form.login = kLoginOAuth;
  form.encryption = kEncryptionTls;
  std::strcpy(form.user, "taro@example.jp");
  std::strcpy(form.provider, "google");
  std::strcpy(form.clientId, "desktop-1");
  ASSERT_TRUE(h.dialog.Accept(form));
  h.dialog.Fill(&shown);
  EXPECT_TRUE(shown.signInAvailable);
  EXPECT_TRUE(shown.tokenStored);

  h.dialog.SignIn(shown);
  ASSERT_EQ(view.started.size(), 1u);
  EXPECT_STREQ(view.started[0].user, "taro@example.jp");
  EXPECT_STREQ(view.started[0].clientId, "desktop-1");
  EXPECT_TRUE(h.box.shown.empty());

  // Another provider in the form: no token shown for it, and no sign-in before the OK.
  std::strcpy(shown.provider, "microsoft");
  EXPECT_FALSE(h.dialog.TokenStored(shown));
  h.dialog.SignIn(shown);
  EXPECT_EQ(view.started.size(), 1u);
  ASSERT_EQ(h.box.shown.size(), 1u);
  EXPECT_NE(h.box.shown[0].text.find("OK"), std::string::npos);
  EXPECT_STREQ(h.settings.oauth, "google");  // the button took nothing

  shown.user[0] = '\0';
  h.dialog.SignIn(shown);
  ASSERT_EQ(h.box.shown.size(), 2u);
  EXPECT_NE(h.box.shown[1].text.find("アカウント"), std::string::npos);
}

}  // namespace
}  // namespace kc::test
