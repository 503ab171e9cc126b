// The account list of the second settings dialog: its buttons, its rows, the account dialog's
// OK rules, and the way the settings dialog's OK takes the list into accounts 2 to 8.
#include "settings/account_form.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/fakes.h"

namespace kc::test {
namespace {

AccountForm Account(const char* server, const char* user, const char* password = "pw") {
  AccountForm a;
  std::strcpy(a.server, server);
  std::strcpy(a.user, user);
  std::strcpy(a.password, password);
  return a;
}

// The users of a form's list, in order, joined by blanks.
std::string Users(const SettingsForm& form) {
  std::string out;
  for (int32_t i = 0; i < form.accountCount; ++i)
    out += std::string(i ? " " : "") + form.accounts[i].user;
  return out;
}

TEST(AccountList, ButtonsAddRemoveAndMoveWithinSevenRows) {
  SettingsForm form;
  const char* users[] = {"a", "b", "c", "d", "e", "f", "g"};
  for (const char* user : users) {
    EXPECT_TRUE(CanAddAccount(form));
    EXPECT_TRUE(AddAccount(&form, Account("pop.example.jp", user)));
  }
  // Eight accounts with the first: 追加 is refused and the list stays as it is.
  EXPECT_FALSE(CanAddAccount(form));
  EXPECT_FALSE(AddAccount(&form, Account("pop.example.jp", "h")));
  EXPECT_EQ(Users(form), "a b c d e f g");

  EXPECT_TRUE(MoveAccount(&form, 0, 1));
  EXPECT_TRUE(MoveAccount(&form, 6, -1));
  EXPECT_EQ(Users(form), "b a c d e g f");
  // Neither end moves past itself; an index off the list and a step of two do nothing.
  EXPECT_FALSE(MoveAccount(&form, 0, -1));
  EXPECT_FALSE(MoveAccount(&form, 6, 1));
  EXPECT_FALSE(MoveAccount(&form, 7, -1));
  EXPECT_FALSE(MoveAccount(&form, 2, 2));
  EXPECT_EQ(Users(form), "b a c d e g f");

  EXPECT_TRUE(RemoveAccount(&form, 1));
  EXPECT_TRUE(RemoveAccount(&form, 5));
  EXPECT_FALSE(RemoveAccount(&form, 5));
  EXPECT_FALSE(RemoveAccount(&form, -1));
  EXPECT_EQ(Users(form), "b c d e g");
  // The row freed at the end holds nothing of the account that was there.
  EXPECT_STREQ(form.accounts[5].user, "");
  EXPECT_TRUE(CanAddAccount(form));

  EXPECT_TRUE(ReplaceAccount(&form, 0, Account("pop.example.jp", "z")));
  EXPECT_FALSE(ReplaceAccount(&form, 5, Account("pop.example.jp", "y")));
  EXPECT_EQ(Users(form), "z c d e g");
}

TEST(AccountList, RowsShowLabelServerAndUser) {
  struct Case {
    const char* name;
    const char* user;
    const char* label;
  } cases[] = {
      {"ﾜｰｸ", "taro@example.jp", "ﾜｰｸ"},                  // the name when set
      {"", "taro@example.jp", "taro"},                    // else the user up to '@'
      {"", "abcdefghijklmnopqrstu", "abcdefghijklmnop"},  // cut to one display row
      {"", "太郎@example.jp", "????"},                    // what the display cannot show
      {"", "@example.jp", "3"},                           // nothing left: the number
      {"", "abcdefghijklmno太郎", "abcdefghijklmno?"},    // never half a character
  };
  for (const Case& c : cases) {
    AccountForm a = Account("pop.example.jp", c.user);
    std::strcpy(a.name, c.name);
    char label[kAccountNameSize];
    AccountFormLabel(a, 3, label, sizeof label);
    EXPECT_STREQ(label, c.label) << c.user;
  }
  AccountForm a = Account("pop.example.jp", "taro@example.jp");
  char row[128];
  AccountRowText(a, 2, row, sizeof row);
  EXPECT_STREQ(row, "2  taro  pop.example.jp / taro@example.jp");
  char small[8];
  AccountRowText(a, 2, small, sizeof small);
  EXPECT_STREQ(small, "2  taro");
}

// Account 1 as the settings dialog holds it: pop.example.jp, taro, the service's port.
SettingsForm WithFirst() {
  SettingsForm form;
  std::strcpy(form.server, "pop.example.jp");
  std::strcpy(form.user, "taro");
  std::strcpy(form.password, "secret");
  AddAccount(&form, Account("pop.home.example", "hanako"));
  return form;
}

TEST(AccountList, AccountDialogOkRules) {
  enum Expect {
    kTaken,
    kBadName,
    kIncomplete,
    kNeedsTls,
    kNoProvider,
    kBadPort,
    kBadPin,
    kSame1,
    kSame2
  };
  struct Case {
    const char* what;
    void (*edit)(AccountForm*);
    Expect expect;
  } cases[] = {
      {"complete", [](AccountForm*) {}, kTaken},
      {"name of 16 bytes", [](AccountForm* a) { std::strcpy(a->name, "0123456789abcdef"); },
       kTaken},
      {"half-width katakana", [](AccountForm* a) { std::strcpy(a->name, "ｼｺﾞﾄ ﾒｰﾙ"); }, kTaken},
      {"name of 17 bytes", [](AccountForm* a) { std::strcpy(a->name, "0123456789abcdefg"); },
       kBadName},
      {"full-width name", [](AccountForm* a) { std::strcpy(a->name, "仕事"); }, kBadName},
      {"control byte", [](AccountForm* a) { std::strcpy(a->name, "a\tb"); }, kBadName},
      {"no server", [](AccountForm* a) { a->server[0] = '\0'; }, kIncomplete},
      {"no user", [](AccountForm* a) { a->user[0] = '\0'; }, kIncomplete},
      {"no password", [](AccountForm* a) { a->password[0] = '\0'; }, kIncomplete},
      {"OAuth without password",
       [](AccountForm* a) {
         a->password[0] = '\0';
         a->login = kLoginOAuth;
         a->encryption = kEncryptionStartTls;
         std::strcpy(a->provider, "google");
       },
       kTaken},
      {"OAuth in the clear",
       [](AccountForm* a) {
         a->login = kLoginOAuth;
         std::strcpy(a->provider, "google");
       },
       kNeedsTls},
      {"OAuth without provider",
       [](AccountForm* a) {
         a->login = kLoginOAuth;
         a->encryption = kEncryptionTls;
       },
       kNoProvider},
      {"port 0", [](AccountForm* a) { std::strcpy(a->port, "0"); }, kBadPort},
      {"port 65536", [](AccountForm* a) { std::strcpy(a->port, "65536"); }, kBadPort},
      {"short pin", [](AccountForm* a) { std::strcpy(a->certPin, "AB:CD"); }, kBadPin},
      {"account 1's mailbox",
       [](AccountForm* a) {
         std::strcpy(a->server, "POP.Example.JP");
         std::strcpy(a->user, "taro");
       },
       kSame1},
      {"account 1's mailbox, its port typed",
       [](AccountForm* a) {
         std::strcpy(a->server, "pop.example.jp");
         std::strcpy(a->user, "taro");
         std::strcpy(a->port, "110");
       },
       kSame1},
      {"account 1's server on the TLS port",
       [](AccountForm* a) {
         std::strcpy(a->server, "pop.example.jp");
         std::strcpy(a->user, "taro");
         a->encryption = kEncryptionTls;
       },
       kTaken},
      {"account 1's server, another user",
       [](AccountForm* a) {
         std::strcpy(a->server, "pop.example.jp");
         std::strcpy(a->user, "Taro");
       },
       kTaken},
      {"account 2's mailbox",
       [](AccountForm* a) {
         std::strcpy(a->server, "pop.home.example");
         std::strcpy(a->user, "hanako");
       },
       kSame2},
  };
  for (const Case& c : cases) {
    SettingsForm form = WithFirst();
    AccountForm a = Account("pop.work.example", "jiro");
    c.edit(&a);
    char text[256] = "";
    const char* problem = AccountFormProblem(form, form.accountCount, a, text, sizeof text);
    switch (c.expect) {
      case kTaken: EXPECT_EQ(problem, nullptr) << c.what << ": " << problem; continue;
      case kBadName:
        EXPECT_NE(std::string(problem ? problem : "").find("16"), std::string::npos) << c.what;
        break;
      case kIncomplete: EXPECT_STREQ(problem, kIncompleteText) << c.what; break;
      case kNeedsTls: EXPECT_STREQ(problem, kOAuthNeedsTlsText) << c.what; break;
      case kNoProvider: EXPECT_STREQ(problem, kNoProviderText) << c.what; break;
      case kBadPort: EXPECT_STREQ(problem, kBadPortText) << c.what; break;
      case kBadPin: EXPECT_STREQ(problem, kBadPinText) << c.what; break;
      case kSame1:
        EXPECT_NE(std::string(problem ? problem : "").find("アカウント 1 と同じ"),
                  std::string::npos)
            << c.what;
        break;
      case kSame2:
        EXPECT_NE(std::string(problem ? problem : "").find("アカウント 2 と同じ"),
                  std::string::npos)
            << c.what;
        break;
    }
  }
  // Editing a row never finds it the same as itself.
  SettingsForm form = WithFirst();
  char text[256];
  EXPECT_EQ(AccountFormProblem(form, 0, form.accounts[0], text, sizeof text), nullptr);
}

struct AccountsHarness {
  Settings settings;
  CheckStatus status;
  FakeRegistry registry;
  FakeMessageBox box;
  SettingsDialog dialog{settings, status.ready, registry, box};

  AccountsHarness() {
    std::strcpy(settings.server, "pop.example.jp");
    std::strcpy(settings.user, "taro");
    std::strcpy(settings.password, "secret");
    AccountSettings& two = settings.more[0];
    std::strcpy(two.name, "ｲｴ");
    std::strcpy(two.server, "pop.home.example");
    std::strcpy(two.user, "hanako");
    std::strcpy(two.password, "pw2");
    two.ssl = kSslStartTls;
    two.port = 70000;                                    // only the key can hold it: shown empty
    std::strcpy(two.scope, "https://mail.example/pop");  // not in the form
    two.nameStored = true;
    AccountSettings& three = settings.more[1];
    std::strcpy(three.server, "pop.work.example");
    std::strcpy(three.user, "jiro");
    std::strcpy(three.password, "pw3");
    three.auth = kAuthOAuth;
    three.ssl = kSslImplicit;
    std::strcpy(three.oauth, "microsoft");
    three.newOnly = 1;
    settings.moreCount = 2;
  }
};

TEST(AccountList, FillShowsAccountsTwoToEightInOrder) {
  AccountsHarness h;
  SettingsForm form;
  h.dialog.Fill(&form);
  ASSERT_EQ(form.accountCount, 2);
  const AccountForm& two = form.accounts[0];
  EXPECT_STREQ(two.name, "ｲｴ");
  EXPECT_STREQ(two.server, "pop.home.example");
  EXPECT_STREQ(two.password, "pw2");
  EXPECT_EQ(two.encryption, kEncryptionStartTls);
  EXPECT_STREQ(two.port, "");
  EXPECT_EQ(two.origin, 2);
  const AccountForm& three = form.accounts[1];
  EXPECT_EQ(three.login, kLoginOAuth);
  EXPECT_EQ(three.encryption, kEncryptionTls);
  EXPECT_STREQ(three.provider, "microsoft");
  EXPECT_TRUE(three.newOnlyChecked);
  EXPECT_EQ(three.origin, 3);
}

TEST(AccountList, OkTakesTheListWithWhatTheFormDoesNotShow) {
  AccountsHarness h;
  SettingsForm form;
  h.dialog.Fill(&form);
  form.interval = 10;
  // Account 3 first, then account 2 with a new name, then a new one; none is lost or mixed.
  ASSERT_TRUE(MoveAccount(&form, 1, -1));
  std::strcpy(form.accounts[1].name, "ﾎｰﾑ");
  AccountForm added = Account("pop.other.example", "saburo");
  added.newOnlyChecked = true;
  std::strcpy(added.port, "1110");
  char text[256];
  ASSERT_EQ(AccountFormProblem(form, form.accountCount, added, text, sizeof text), nullptr);
  ASSERT_TRUE(AddAccount(&form, added));
  ASSERT_TRUE(h.dialog.Accept(form));
  ASSERT_EQ(h.settings.moreCount, 3);
  const AccountSettings* more = h.settings.more;
  EXPECT_STREQ(more[0].user, "jiro");
  EXPECT_EQ(more[0].auth, kAuthOAuth);
  EXPECT_EQ(more[0].ssl, kSslImplicit);
  EXPECT_STREQ(more[1].user, "hanako");
  EXPECT_STREQ(more[1].name, "ﾎｰﾑ");
  EXPECT_EQ(more[1].port, 70000);  // left empty: the key's value stays
  EXPECT_STREQ(more[1].scope, "https://mail.example/pop");
  EXPECT_TRUE(more[1].nameStored);
  EXPECT_EQ(more[1].ssl, kSslStartTls);
  EXPECT_STREQ(more[2].user, "saburo");
  EXPECT_EQ(more[2].port, 1110);
  EXPECT_EQ(more[2].newOnly, 1);
  EXPECT_TRUE(more[2].newOnlyStored);
  EXPECT_STREQ(more[2].scope, "");

  // Removing every row leaves no account behind it.
  h.dialog.Fill(&form);
  while (form.accountCount > 0) RemoveAccount(&form, 0);
  ASSERT_TRUE(h.dialog.Accept(form));
  EXPECT_EQ(h.settings.moreCount, 0);
  EXPECT_STREQ(h.settings.more[0].user, "");
  EXPECT_STREQ(h.settings.more[1].scope, "");
}

TEST(AccountList, OkStoresTheListInItsOrderAndDropsRemovedAccounts) {
  AccountsHarness h;
  SettingsForm form;
  h.dialog.Fill(&form);
  ASSERT_TRUE(MoveAccount(&form, 0, 1));
  ASSERT_TRUE(h.dialog.Accept(form));
  Settings stored;
  LoadSettings(stored, h.registry);
  ASSERT_EQ(stored.moreCount, 2);
  EXPECT_STREQ(stored.more[0].user, "jiro");
  EXPECT_EQ(stored.more[0].auth, kAuthOAuth);
  EXPECT_STREQ(stored.more[1].user, "hanako");
  EXPECT_STREQ(stored.more[1].name, "ｲｴ");
  EXPECT_STREQ(stored.more[1].password, "pw2");

  h.dialog.Fill(&form);
  ASSERT_TRUE(RemoveAccount(&form, 0));
  ASSERT_TRUE(h.dialog.Accept(form));
  Settings again;
  LoadSettings(again, h.registry);
  ASSERT_EQ(again.moreCount, 1);
  EXPECT_STREQ(again.more[0].user, "hanako");
  EXPECT_STREQ(again.server, "pop.example.jp");  // account 1 stays in the main key
}

TEST(AccountList, ARefusedOkLeavesTheAccountsForTheNextOne) {
  AccountsHarness h;
  SettingsForm form;
  h.dialog.Fill(&form);
  ASSERT_TRUE(MoveAccount(&form, 0, 1));
  form.password[0] = '\0';  // account 1 incomplete: refused, the form stays open
  EXPECT_FALSE(h.dialog.Accept(form));
  EXPECT_STREQ(h.settings.more[0].user, "hanako");
  // The same form, put right: each row still finds the account it came from.
  std::strcpy(form.password, "secret");
  ASSERT_TRUE(h.dialog.Accept(form));
  EXPECT_STREQ(h.settings.more[0].user, "jiro");
  EXPECT_STREQ(h.settings.more[0].scope, "");
  EXPECT_STREQ(h.settings.more[1].user, "hanako");
  EXPECT_STREQ(h.settings.more[1].scope, "https://mail.example/pop");
}

TEST(AccountList, OkRefusesAccountOneAsTheSameMailboxAsAListedOne) {
  AccountsHarness h;
  SettingsForm form;
  h.dialog.Fill(&form);
  std::strcpy(form.server, "POP.HOME.EXAMPLE");
  std::strcpy(form.user, "hanako");
  RemoveAccount(&form, 1);
  EXPECT_FALSE(h.dialog.Accept(form));
  ASSERT_EQ(h.box.shown.size(), 1u);
  EXPECT_NE(h.box.shown[0].text.find("アカウント 2 と同じ"), std::string::npos);
  // Refused before anything was taken.
  EXPECT_STREQ(h.settings.server, "pop.example.jp");
  EXPECT_EQ(h.settings.moreCount, 2);
  EXPECT_TRUE(h.registry.values.empty());
}

TEST(AccountList, AccountDialogOkSaysWhyInABox) {
  AccountsHarness h;
  SettingsForm form;
  h.dialog.Fill(&form);
  AccountForm a = Account("pop.example.jp", "taro");
  EXPECT_FALSE(h.dialog.JudgeAccount(form, form.accountCount, a));
  ASSERT_EQ(h.box.shown.size(), 1u);
  EXPECT_NE(h.box.shown[0].text.find("アカウント 1 と同じ"), std::string::npos);
  EXPECT_EQ(h.box.shown[0].caption, kCaption);
  std::strcpy(a.user, "shiro");
  EXPECT_TRUE(h.dialog.JudgeAccount(form, form.accountCount, a));
  EXPECT_EQ(h.box.shown.size(), 1u);
}

}  // namespace
}  // namespace kc::test
