// The console form's pages of accounts after the first: the list with its buttons, reached
// from 詳細設定, and the page of one account.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "posix/regedit_file.h"
#include "posix/settings_dialog.h"

namespace kc::posix {
namespace {

using M = SettingsFormModel;
using O = M::Outcome;

AccountForm Listed(const char* server, const char* user, int32_t origin) {
  AccountForm a;
  std::strcpy(a.server, server);
  std::strcpy(a.user, user);
  std::strcpy(a.password, "pw");
  a.origin = origin;
  return a;
}

SettingsForm WithAccounts(int count) {
  SettingsForm form;
  std::strcpy(form.server, "pop.example.com");
  std::strcpy(form.user, "taro");
  std::strcpy(form.password, "abc");
  form.interval = 30;
  form.intervalOk = true;
  const char* users[] = {"u2", "u3", "u4", "u5", "u6", "u7", "u8"};
  for (int i = 0; i < count; ++i) form.accounts[i] = Listed("pop.home.example", users[i], i + 2);
  form.accountCount = count;
  return form;
}

std::string Shown(const M& model) {
  std::string all;
  for (const std::string& row : model.Render(false, 100)) all += row + "\n";
  return all;
}

void Type(M* model, const char* text) {
  for (const char* p = text; *p != '\0'; ++p) model->OnChar(p, 1);
}

void TabTo(M* model, M::Control control) {
  for (int i = 0; i < 40 && model->focus() != control; ++i) model->OnKey(KeyCode::kTab);
  ASSERT_EQ(model->focus(), control);
}

// From the first page to the page of accounts: 詳細設定, then its button アカウント一覧.
void OpenAccounts(M* model) {
  TabTo(model, M::kAdvanced);
  model->OnKey(KeyCode::kEnter);
  TabTo(model, M::kAccounts);
  EXPECT_EQ(model->OnKey(KeyCode::kEnter), O::kNone);
  ASSERT_EQ(model->page(), M::Page::kAccounts);
}

std::string Users(const M& model) {
  SettingsForm read;
  model.Read(&read);
  std::string out;
  for (int32_t i = 0; i < read.accountCount; ++i)
    out += std::string(i ? " " : "") + read.accounts[i].user;
  return out;
}

TEST(AccountPages, AddEditMoveAndRemoveWithKeys) {
  M model;
  model.Load(WithAccounts(1));
  EXPECT_EQ(Shown(model).find("アカウント一覧"), std::string::npos);
  OpenAccounts(&model);
  EXPECT_EQ(model.focus(), M::kAccountList);
  EXPECT_NE(Shown(model).find("> 2  u2  pop.home.example / u2"), std::string::npos) << Shown(model);
  EXPECT_NE(Shown(model).find("↑↓:行を選ぶ"), std::string::npos);
  // One row: neither 上へ nor 下へ can act, so Tab passes them over.
  std::vector<M::Control> order;
  for (int i = 0; i < 5; ++i) {
    model.OnKey(KeyCode::kTab);
    order.push_back(model.focus());
  }
  EXPECT_EQ(order, (std::vector<M::Control>{M::kAccountAdd, M::kAccountEdit, M::kAccountRemove,
                                            M::kAccountsBack, M::kAccountList}));

  // 追加: the account page for account 3, its OK asked of the caller.
  TabTo(&model, M::kAccountAdd);
  model.OnChar(" ", 1);
  ASSERT_EQ(model.page(), M::Page::kAccount);
  EXPECT_EQ(model.editingIndex(), 1);
  EXPECT_NE(Shown(model).find("アカウント 3"), std::string::npos);
  EXPECT_EQ(model.focus(), M::kAccountName);
  Type(&model, "ｼｺﾞﾄ");
  model.OnKey(KeyCode::kTab);
  Type(&model, "pop.work.example");
  model.OnKey(KeyCode::kTab);
  Type(&model, "jiro");
  model.OnKey(KeyCode::kTab);
  Type(&model, "s3cr3t");
  EXPECT_EQ(Shown(model).find("s3cr3t"), std::string::npos);  // masked
  model.OnKey(KeyCode::kTab);
  model.OnKey(KeyCode::kRight);  // SSL/TLS
  EXPECT_EQ(model.OnKey(KeyCode::kEnter), O::kAccountOk);
  EXPECT_EQ(model.page(), M::Page::kAccount);  // open until the judge agrees
  AccountForm read;
  model.ReadAccount(&read);
  EXPECT_STREQ(read.name, "ｼｺﾞﾄ");
  EXPECT_STREQ(read.server, "pop.work.example");
  EXPECT_STREQ(read.password, "s3cr3t");
  EXPECT_EQ(read.encryption, kEncryptionTls);
  EXPECT_EQ(read.origin, 0);
  model.CloseAccount(true);
  ASSERT_EQ(model.page(), M::Page::kAccounts);
  EXPECT_EQ(Users(model), "u2 jiro");
  EXPECT_EQ(model.selectedAccount(), 1);
  EXPECT_NE(Shown(model).find("> 3  ｼｺﾞﾄ  pop.work.example / jiro"), std::string::npos);

  // The arrows choose a row; 上へ moves it and gives up the focus at the top.
  EXPECT_EQ(model.focus(), M::kAccountList);
  TabTo(&model, M::kAccountUp);
  model.OnKey(KeyCode::kEnter);
  EXPECT_EQ(Users(model), "jiro u2");
  EXPECT_EQ(model.selectedAccount(), 0);
  EXPECT_EQ(model.focus(), M::kAccountList);
  model.OnKey(KeyCode::kUp);  // already the first
  EXPECT_EQ(model.selectedAccount(), 0);
  model.OnKey(KeyCode::kDown);
  EXPECT_EQ(model.selectedAccount(), 1);

  // Enter on the list edits the chosen row; the edit keeps the row's origin; Esc drops it.
  model.OnKey(KeyCode::kEnter);
  ASSERT_EQ(model.page(), M::Page::kAccount);
  EXPECT_EQ(model.editingIndex(), 1);
  EXPECT_EQ(model.edit(M::kAccountUser).text(), "u2");
  Type(&model, "x");  // replaces the selected name
  model.OnKey(KeyCode::kEscape);
  EXPECT_EQ(model.page(), M::Page::kAccounts);
  model.OnKey(KeyCode::kEnter);
  model.ReadAccount(&read);
  EXPECT_STREQ(read.name, "");
  EXPECT_EQ(read.origin, 2);
  TabTo(&model, M::kAccountCancel);
  model.OnKey(KeyCode::kEnter);

  // 削除 of the last row chooses the row above it.
  TabTo(&model, M::kAccountRemove);
  model.OnKey(KeyCode::kEnter);
  EXPECT_EQ(Users(model), "jiro");
  EXPECT_EQ(model.selectedAccount(), 0);

  // Back on 詳細設定, its Cancel drops every change to the list; its OK would keep them.
  model.OnKey(KeyCode::kEscape);
  EXPECT_EQ(model.page(), M::Page::kAdvanced);
  EXPECT_EQ(model.focus(), M::kAccounts);
  model.OnKey(KeyCode::kEscape);
  EXPECT_EQ(model.page(), M::Page::kMain);
  EXPECT_EQ(Users(model), "u2");
  OpenAccounts(&model);
  TabTo(&model, M::kAccountRemove);
  model.OnKey(KeyCode::kEnter);
  EXPECT_NE(Shown(model).find("(アカウントはありません)"), std::string::npos);
  EXPECT_EQ(model.focus(), M::kAccountAdd);  // nothing left to choose
  TabTo(&model, M::kAccountsBack);
  model.OnKey(KeyCode::kEnter);
  TabTo(&model, M::kAdvancedOk);
  EXPECT_EQ(model.OnKey(KeyCode::kEnter), O::kAdvancedOk);
  model.CloseAdvanced(true);
  EXPECT_EQ(Users(model), "");
}

TEST(AccountPages, AddIsOffWithEightAccountsInAll) {
  M model;
  model.Load(WithAccounts(7));
  OpenAccounts(&model);
  EXPECT_TRUE(model.Off(M::kAccountAdd));
  for (int i = 0; i < 12; ++i) {
    model.OnKey(KeyCode::kTab);
    EXPECT_NE(model.focus(), M::kAccountAdd);
  }
  for (int i = 0; i < 7; ++i) {
    EXPECT_NE(Shown(model).find(std::to_string(i + 2) + "  u" + std::to_string(i + 2)),
              std::string::npos);
  }
  TabTo(&model, M::kAccountRemove);
  model.OnKey(KeyCode::kEnter);
  EXPECT_FALSE(model.Off(M::kAccountAdd));
}

TEST(AccountPages, TheAccountPageFollowsItsLoginList) {
  SettingsForm form = WithAccounts(1);
  form.accounts[0].login = kLoginOAuth;
  form.accounts[0].encryption = kEncryptionStartTls;
  std::strcpy(form.accounts[0].provider, "google");
  std::strcpy(form.accounts[0].port, "1995");
  form.accounts[0].newOnlyChecked = true;
  M model;
  model.Load(form);
  OpenAccounts(&model);
  model.OnKey(KeyCode::kEnter);
  ASSERT_EQ(model.page(), M::Page::kAccount);
  const std::string all = Shown(model);
  size_t at = 0;
  for (const char* text : {"アカウント 2",
                           "名前",
                           "POP3サーバーネーム",
                           "アカウント",
                           "パスワード",
                           "-- 接続 --",
                           "暗号化 [STARTTLS ▼]",
                           "[1995",
                           "証明書ピン",
                           "-- 認証 --",
                           "認証方式 [OAuth 2.0 ▼]",
                           "プロバイダー",
                           "[google",
                           "クライアントID",
                           "シークレット",
                           "テナント",
                           "-- 新着 --",
                           "[x] 新着のみ",
                           "[ OK ]",
                           "[ ｷｬﾝｾﾙ ]"}) {
    size_t found = all.find(text, at);
    ASSERT_NE(found, std::string::npos) << text << "\n" << all;
    at = found;
  }
  EXPECT_TRUE(model.Off(M::kAccountPassword));
  TabTo(&model, M::kAccountLogin);
  model.OnChar(" ", 1);
  EXPECT_FALSE(model.Off(M::kAccountPassword));
  std::vector<M::Control> order;
  for (int i = 0; i < 4; ++i) {
    model.OnKey(KeyCode::kTab);
    order.push_back(model.focus());
  }
  EXPECT_EQ(order, (std::vector<M::Control>{M::kAccountNewOnly, M::kAccountOk, M::kAccountCancel,
                                            M::kAccountName}));
  // The list page's rows do not hold this page's edit until its OK.
  SettingsForm read;
  model.Read(&read);
  EXPECT_EQ(read.accounts[0].login, kLoginOAuth);
}

// Without a terminal the help says how to write the accounts after the first: a section that
// reads back as account 2's values.
TEST(AccountPages, TheFileHelpGivesASectionForAccountTwo) {
  const std::string help = SettingsFileHelp("/tmp/settings.reg", WithAccounts(0));
  const std::string section = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA\\2]";
  size_t start = help.find(section);
  ASSERT_NE(start, std::string::npos) << help;
  size_t end = help.find("\n\n", start);
  ASSERT_NE(end, std::string::npos);
  RegeditKey key;
  ASSERT_TRUE(ParseRegeditFile("REGEDIT4\n\n" + help.substr(start, end + 1 - start),
                               std::string(kRegeditSettingsKey) + "\\2", &key));
  std::string names;
  for (const RegeditValue& v : key.values) names += v.name + " ";
  EXPECT_EQ(names, "NAME SERVER USER PASS ");
}

}  // namespace
}  // namespace kc::posix
