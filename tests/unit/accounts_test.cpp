// Several accounts over the real controller and poller: each account checked in turn, the
// counts summed, a failed account never hiding the others' mail, incomplete and repeated
// accounts skipped with their lines, and what the tooltip, the display, the console and the
// notification show. One account stays exactly as it always was.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "app/account_run.h"
#include "app/report.h"
#include "pop3/seen_keeping.h"
#include "support/fake_winsock.h"

namespace kc::test {
namespace {

struct AccountSpec {
  const char* server;
  const char* user;
  const char* password;
  const char* name;
};

// Mailboxes behind one fake server, told apart by the user that logs in; an unknown user is
// refused, as a failed account.
struct Rig {
  Rig() {
    h.winsock.server = [this](const std::string& command) {
      if (command.rfind("USER ", 0) == 0) current_ = command.substr(5, command.size() - 7);
      auto it = boxes.find(current_);
      if (it == boxes.end()) return std::string("-ERR unknown user\r\n");
      return it->second.Reply(command);
    };
  }
  // A mailbox for user with `messages` messages from "<user>N@example.org".
  void Box(const std::string& user, int messages) {
    FakeMailbox& box = boxes[user];
    box.user = user;
    box.password = "pw";
    for (int i = 1; i <= messages; ++i) {
      box.headers.push_back(HeadersFrom(user + std::to_string(i) + "@example.org"));
    }
  }
  // Account 1 and the accounts after it.
  void Use(const std::vector<AccountSpec>& specs) {
    Settings& s = h.app->settings;
    for (size_t i = 0; i < specs.size(); ++i) {
      AccountSettings& a = i == 0 ? static_cast<AccountSettings&>(s) : s.more[i - 1];
      std::snprintf(a.server, sizeof a.server, "%s", specs[i].server);
      std::snprintf(a.user, sizeof a.user, "%s", specs[i].user);
      std::snprintf(a.password, sizeof a.password, "%s", specs[i].password);
      std::snprintf(a.name, sizeof a.name, "%s", specs[i].name);
    }
    s.moreCount = static_cast<int32_t>(specs.size()) - 1;
  }
  std::string Tip() const { return h.tray.calls.back().second.tip; }
  std::string Rows() const { return RowsIn(h.app->display); }
  // The rows the display makes of a text.
  std::string RowsOf(const char* text) {
    Display shown({h.hid, h.window, h.trace, h.box});
    shown.LcdShowText(text);
    return RowsIn(shown);
  }
  static std::string RowsIn(const Display& display) {
    std::string all;
    for (size_t k = 0; k < display.pager().slotCount; ++k) {
      const char* row = display.RowSlot(k);
      if (row[0] != '\0') all += std::string(row) + "|";
    }
    return all;
  }
  std::vector<std::string> Told() const { return h.notice.told; }

  CheckHarness h;
  std::map<std::string, FakeMailbox> boxes;
  std::string current_;
};

class Accounts : public ::testing::Test, protected Rig {};

// "OMBRIX コントロール NextCheck06:56": the described tip at the harness's clock.
const std::string kTip = "OMBRIX コントロール NextCheck06:56";

struct MixCase {
  const char* name;
  std::vector<AccountSpec> accounts;
  int32_t total;
  uint8_t serverError;
  uint32_t icon;                          // the picture after the check
  const char* tipLines;                   // what the tooltip adds to the described text
  std::vector<std::string> outcomeLines;  // the console's line per account
  const char* summary;                    // the check's outcome (the status row's end)
  std::vector<std::string> traced;        // trace lines of skipped accounts
  int logins;                             // USER commands sent
};

void PrintTo(const MixCase& c, std::ostream* os) { *os << c.name; }

class AccountMix : public Accounts, public ::testing::WithParamInterface<MixCase> {};

TEST_P(AccountMix, SumsAnswersAndNamesFailuresAndSkips) {
  const MixCase& c = GetParam();
  Box("ann", 2);
  Box("bob", 3);
  Box("cy", 0);
  Use(c.accounts);
  h.RunCheck();
  EXPECT_EQ(h.app->status.busy, 0);
  EXPECT_EQ(h.app->status.mailCount, c.total);
  EXPECT_EQ(h.app->status.serverError, c.serverError);
  EXPECT_EQ(h.tray.lastIcon(), c.icon);
  if (c.serverError == 0) {
    EXPECT_EQ(h.tray.calls.back().second.cbSize, kTrayRecordSizeV2);
    EXPECT_EQ(Tip(), kTip + c.tipLines);
  }
  EXPECT_EQ(Told(), c.outcomeLines);
  ASSERT_FALSE(h.notice.outcomes.empty());
  EXPECT_EQ(h.notice.outcomes.back().first, c.summary);
  EXPECT_EQ(h.notice.outcomes.back().second, c.serverError == 1);
  EXPECT_EQ(h.notice.outcomes.size(), 1u);  // one outcome for the whole check
  for (const std::string& line : c.traced) {
    EXPECT_NE(h.trace.all.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(h.winsock.CountPrefix("socket"), c.logins);
  EXPECT_EQ(h.winsock.openSockets.size(), 0u);  // every connection closed
}

INSTANTIATE_TEST_SUITE_P(
    Mixes, AccountMix,
    ::testing::Values(
        MixCase{"all_answer",
                {{"pop.example", "ann", "pw", ""},
                 {"pop.example", "bob", "pw", "Work"},
                 {"pop.example", "cy", "pw", ""}},
                5,
                0,
                IDI_MAIL,
                "\nann 2\nWork 3\ncy 0",
                {"ann: 2 messages", "Work: 3 messages", "cy: 0 messages"},
                "total 5",
                {},
                3},
        MixCase{"one_fails",
                {{"pop.example", "ann", "pw", ""},
                 {"pop.example", "gone", "pw", ""},
                 {"pop.example", "bob", "pw", ""}},
                5,
                0,
                IDI_MAIL,
                "\nann 2\ngone エラー\nbob 3",
                {"ann: 2 messages", "gone: login refused: -ERR unknown user", "bob: 3 messages"},
                "total 5, 1 of 3 accounts failed",
                {},
                3},
        MixCase{"all_fail",
                {{"pop.example", "x", "pw", ""}, {"pop.example", "y", "pw", ""}},
                0,
                1,
                IDI_BUSY,
                "",
                {"x: login refused: -ERR unknown user", "y: login refused: -ERR unknown user"},
                "all 2 accounts failed",
                {},
                2},
        MixCase{"account_1_incomplete",
                {{"pop.example", "ann", "", ""},
                 {"", "bob", "pw", ""},
                 {"pop.example", "bob", "pw", ""}},
                3,
                0,
                IDI_MAIL,
                "\nbob 3",
                {"bob: 3 messages"},
                "total 3",
                {"Account 1 skipped: no password\r\n", "Account 2 skipped: no server\r\n"},
                1},
        MixCase{"duplicates",
                {{"pop.example", "ann", "pw", ""},
                 {"POP.example", "ann", "pw", "Again"},
                 {"pop.example", "bob", "pw", ""}},
                5,
                0,
                IDI_MAIL,
                "\nann 2\nbob 3",
                {"ann: 2 messages", "bob: 3 messages"},
                "total 5",
                {"Account 2 is the same mailbox as account 1\r\n"},
                2}),
    [](const ::testing::TestParamInfo<MixCase>& info) { return std::string(info.param.name); });

// The display: the total first, then each account's label row before its senders; a failed
// account's label is followed by the server error row.
TEST_F(Accounts, DisplayListsSendersUnderTheirLabels) {
  Box("ann", 1);
  Box("bob", 2);
  Use({{"pop.example", "ann", "pw", ""},
       {"pop.example", "gone", "pw", "Home"},
       {"pop.example", "bob", "pw", "ｼｺﾞﾄ"}});
  h.RunCheck();
  LocalTime when = h.clock.local;
  char report[kReportBufferSize];
  ComposeReport(report, 3, when, false, SenderTable{});
  const std::string first = report;
  const std::string expected = first +
                               "\nann:\n1 : ann1@example.org\nHome:\nPOP3ｻｰﾊﾞｰｴﾗｰ\nｼｺﾞﾄ:\n"
                               "1 : bob1@example.org\n2 : bob2@example.org\n";
  ReportAccount accounts[3];
  SenderTable ann{}, bob{};
  std::snprintf(ann.slot[0], kSenderSlotSize, "ann1@example.org");
  std::snprintf(bob.slot[0], kSenderSlotSize, "bob1@example.org");
  std::snprintf(bob.slot[1], kSenderSlotSize, "bob2@example.org");
  accounts[0] = {"ann", 1, false, &ann};
  accounts[1] = {"Home", 0, true, nullptr};
  accounts[2] = {"ｼｺﾞﾄ", 2, false, &bob};
  ComposeAccountsReport(report, 3, when, true, accounts, 3);
  EXPECT_EQ(std::string(report), expected);
  // The App shows that same text.
  EXPECT_EQ(Rows(), RowsOf(report));
  EXPECT_NE(Rows().find("ｼｺﾞﾄ:|1 : bob1@example|"), std::string::npos);
}

// With the list off or nothing to list, the display says what one account's check says.
TEST_F(Accounts, DisplayWithoutMailOrListIsTodays) {
  Box("ann", 0);
  Box("bob", 0);
  Use({{"pop.example", "ann", "pw", ""}, {"pop.example", "bob", "pw", ""}});
  h.RunCheck();
  EXPECT_EQ(Rows(), RowsOf(kLcdNoMail));
  Box("bob", 2);
  h.app->settings.listSenders = 0;
  h.RunCheck();
  EXPECT_EQ(h.app->status.mailCount, 2);
  ASSERT_GT(h.app->display.pager().slotCount, 0u);
  EXPECT_EQ(Rows().find("bob:"), std::string::npos);
}

// Eight accounts with long labels and large counts: the tooltip never passes 127 bytes, every
// account keeps a line while they fit, labels are cut evenly.
TEST(AccountsTip, FitsTheSecondLayoutsTip) {
  TipAccount accounts[kMaxAccounts];
  for (int i = 0; i < kMaxAccounts; ++i) {
    std::snprintf(accounts[i].label, sizeof accounts[i].label, "account-%d-longer", i + 1);
    accounts[i].count = 255;
  }
  accounts[3].failed = true;
  char out[128];
  std::memset(out, 'x', sizeof out);
  ComposeAccountsTip(kTip.c_str(), accounts, kMaxAccounts, out, 127);
  const std::string tip = out;
  EXPECT_LE(tip.size(), 127u);
  EXPECT_EQ(tip.rfind(kTip, 0), 0u);
  // Every account's line is there, with its count or the error word.
  size_t lines = 0;
  for (char c : tip) lines += c == '\n' ? 1 : 0;
  EXPECT_EQ(lines, 8u);
  EXPECT_NE(tip.find(" エラー"), std::string::npos);
  EXPECT_EQ(tip.substr(tip.size() - 4), " 255");
  // Short labels are not cut; the whole fits without cutting when it can.
  TipAccount few[2];
  std::snprintf(few[0].label, sizeof few[0].label, "ann");
  std::snprintf(few[1].label, sizeof few[1].label, "bob");
  few[1].count = 12;
  ComposeAccountsTip(kTip.c_str(), few, 2, out, 127);
  EXPECT_EQ(std::string(out), kTip + "\nann 0\nbob 12");
  // A text that leaves no room: accounts are left out, never a byte past the limit.
  const std::string a124(124, 'a');
  ComposeAccountsTip(a124.c_str(), few, 2, out, 127);
  EXPECT_EQ(std::string(out), a124);
  ComposeAccountsTip(a124.substr(0, 122).c_str(), few, 2, out, 127);
  EXPECT_EQ(std::string(out), a124.substr(0, 122) + "\nan 0");
  ComposeAccountsTip(a124.substr(0, 118).c_str(), few, 2, out, 127);
  EXPECT_EQ(std::string(out), a124.substr(0, 118) + "\na 0\nb 12");
}

TEST(AccountsLabel, NameElseUserBeforeTheAtElseTheNumber) {
  Settings s;
  s.moreCount = 4;
  std::snprintf(s.user, sizeof s.user, "someone.with.a.long.name@example.org");
  std::snprintf(s.more[0].name, sizeof s.more[0].name, "ｼｺﾞﾄ");
  std::snprintf(s.more[0].user, sizeof s.more[0].user, "w@example.org");
  std::snprintf(s.more[1].user, sizeof s.more[1].user, "@example.org");
  std::snprintf(s.more[2].user, sizeof s.more[2].user, "t\tb\x82\xa0z");  // tab, a double-byte
  const struct {
    int n;
    std::string label;
  } cases[] = {{1, "someone.with.a.l"}, {2, "ｼｺﾞﾄ"}, {3, "3"}, {4, "t?b??z"}, {5, "5"}};
  for (const auto& c : cases) {
    char out[kAccountLabelSize];
    AccountLabel(s, c.n, out, sizeof out);
    EXPECT_EQ(std::string(out), c.label) << c.n;
  }
}

// The notification names each new sender's account; a check that fails in one account does
// not hide the others' news.
TEST_F(Accounts, NotificationNamesTheAccountOfEachSender) {
  h.app->settings.notify = 1;
  Box("ann", 1);
  Box("bob", 1);
  Use({{"pop.example", "ann", "pw", "A"}, {"pop.example", "bob", "pw", "B"}});
  h.RunCheck();  // the baseline: nothing told
  EXPECT_TRUE(h.notifier.shown.empty());
  boxes["bob"].headers.push_back(HeadersFrom("new@example.org"));
  boxes.erase("ann");  // account 1 fails
  h.RunCheck();
  ASSERT_EQ(h.notifier.shown.size(), 1u);
  EXPECT_EQ(h.notifier.shown[0].title, "新着メール 2 通");
  EXPECT_EQ(h.notifier.shown[0].text, "B: bob1@example.org\nB: new@example.org");
}

// Each account keeps its own seen list; 既読にする marks every account's messages at once.
TEST_F(Accounts, NewOnlyPerAccountAndMarkSeenMarksAll) {
  Box("ann", 2);
  Box("bob", 3);
  for (auto& box : boxes) {
    for (size_t i = 0; i < box.second.headers.size(); ++i) {
      box.second.uids.push_back(box.first + "-" + std::to_string(i + 1));
    }
  }
  Use({{"pop.example", "ann", "pw", ""}, {"pop.example", "bob", "pw", ""}});
  h.app->settings.newOnly = 1;
  h.app->settings.more[0].newOnly = 1;
  h.RunCheck();  // both baselines
  EXPECT_EQ(h.app->status.mailCount, 0);
  boxes["ann"].headers.push_back(HeadersFrom("a3@example.org"));
  boxes["ann"].uids.push_back("ann-3");
  for (int i = 4; i <= 5; ++i) {
    boxes["bob"].headers.push_back(HeadersFrom("b@example.org"));
    boxes["bob"].uids.push_back("bob-" + std::to_string(i));
  }
  h.RunCheck();
  EXPECT_EQ(h.app->status.mailCount, 3);
  EXPECT_EQ(Tip(), kTip + "\nann 1\nbob 2");
  EXPECT_EQ(Told()[Told().size() - 2], "ann: 1 new of 3 messages");
  EXPECT_EQ(Told().back(), "bob: 2 new of 5 messages");
  const size_t sent = h.winsock.sent.size();
  h.window.Post(CheckHarness::kMainWindow, kWmCommand, IDM_MARKSEEN, 0);
  h.Pump();
  EXPECT_EQ(h.winsock.sent.size(), sent);  // no check
  EXPECT_EQ(Told().back(), "8 messages marked as seen");
  EXPECT_EQ(h.app->status.mailCount, 0);
  EXPECT_EQ(h.tray.lastIcon(), IDI_IDLE);
  EXPECT_EQ(Tip(), kTip + "\nann 0\nbob 0");
  EXPECT_EQ(Rows(), RowsOf(kLcdNoMail));
  h.RunCheck();
  EXPECT_EQ(h.notice.outcomes.back().first, "total 0");
  // Each list went to its own file: account 1's where a program with one account keeps it,
  // account 2's under its key.
  const uint64_t key2 = SeenAccountKey(h.app->settings.more[0]);
  EXPECT_NE(key2, 0u);
  EXPECT_EQ(h.seenStore.used.back(), key2);
  EXPECT_NE(std::find(h.seenStore.used.begin(), h.seenStore.used.end(), 0u),
            h.seenStore.used.end());
  // A restart over the same store reads both lists back: no new baseline, nothing new.
  Rig again;
  again.boxes = boxes;
  again.h.seenStore = h.seenStore;
  again.Use({{"pop.example", "ann", "pw", ""}, {"pop.example", "bob", "pw", ""}});
  again.h.app->settings.newOnly = 1;
  again.h.app->settings.more[0].newOnly = 1;
  again.h.RunCheck();
  EXPECT_EQ(again.Told(),
            (std::vector<std::string>{"ann: 0 new of 3 messages", "bob: 0 new of 5 messages"}));
}

// At start-up the accounts come from the key's subkeys; those numbered past 8 are named in the
// trace, once each, and play no part.
TEST_F(Accounts, StartUpTracesTheIgnoredSubkeys) {
  h.registry.exists = true;
  for (const char* name : {"2", "9", "10"}) {
    auto& values = h.registry.SubKeyValues(name);
    const std::string user = std::string("u") + name;
    values["SERVER"] = {1, std::vector<uint8_t>({'s', 0})};
    values["USER"] = {1, std::vector<uint8_t>(user.begin(), user.end() + 1)};
  }
  h.app->MainWndProc(CheckHarness::kMainWindow, kWmCreate, 0, 0);
  EXPECT_EQ(h.app->settings.moreCount, 1);
  EXPECT_STREQ(h.app->settings.more[0].user, "u2");
  EXPECT_NE(h.trace.all.find("Account 9 ignored: at most 8 accounts\r\n"), std::string::npos);
  EXPECT_NE(h.trace.all.find("Account 10 ignored: at most 8 accounts\r\n"), std::string::npos);
  h.app->MainWndProc(CheckHarness::kMainWindow, kWmDestroy, 0, 0);
}

// One account: the check's console lines and tooltip are today's, with the first record layout.
TEST_F(Accounts, OneAccountIsAsAlways) {
  Box("ann", 2);
  Use({{"pop.example", "ann", "pw", "Named"}});
  h.RunCheck();
  EXPECT_EQ(h.tray.calls.back().second.cbSize, kTrayRecordSize);
  EXPECT_EQ(Tip(), kTip);
  EXPECT_TRUE(Told().empty());
  ASSERT_EQ(h.notice.outcomes.size(), 1u);
  EXPECT_EQ(h.notice.outcomes[0].first, "2 messages");
  EXPECT_EQ(h.trace.all.find("Account"), std::string::npos);
}

}  // namespace
}  // namespace kc::test
