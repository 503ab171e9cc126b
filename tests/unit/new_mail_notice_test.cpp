// The notification of new mail: when a check tells the user (never for the baseline, a failed
// check or the same messages twice), what it says, and a click on it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pop3/seen_ids.h"
#include "shell/new_mail_note.h"
#include "support/fake_winsock.h"

namespace kc::test {
namespace {

struct CountStep {
  bool failed;
  uint64_t account;
  int32_t count;
  bool told;
};

TEST(NewMailNotice, CountedMailTellsOnlyOfAHigherCount) {
  const CountStep steps[] = {
      {false, 1, 2, false},  // the baseline: the mail already there is not news
      {false, 1, 2, false},  // nothing new
      {false, 1, 4, true},   // two arrived
      {true, 1, 0, false},   // a failed check tells nothing and changes nothing
      {false, 1, 4, false},  // the same four: never twice
      {false, 1, 3, false},  // one was deleted
      {false, 1, 5, true},   // then two arrived
      {false, 2, 9, false},  // another account: a baseline again
      {false, 2, 10, true},
  };
  NewMailNotice notice;
  int i = 0;
  for (const CountStep& step : steps) {
    NoteCheck check;
    check.failed = step.failed;
    check.account = step.account;
    check.count = step.count;
    EXPECT_EQ(notice.Judge(check), step.told) << "step " << i;
    ++i;
  }
}

// The new-only listing: the messages the seen list lacks are new; only one that was not new at
// the last check is news.
class ListedMail : public ::testing::Test {
 protected:
  void SetUp() override {
    uint64_t* area = seen.LoadArea();
    ASSERT_NE(area, nullptr);
    area[0] = 10;
    area[1] = 20;
    ASSERT_TRUE(seen.AdoptLoaded(7, 2, false));
  }
  bool Check(std::vector<uint64_t> listed, bool failed = false) {
    NoteCheck check;
    check.failed = failed;
    check.account = 7;
    check.listed = listed.data();
    check.listedCount = static_cast<uint32_t>(listed.size());
    check.seen = &seen;
    int32_t unseen = 0;
    for (uint64_t h : listed) unseen += seen.Contains(h) ? 0 : 1;
    check.count = unseen;
    return notice.Judge(check);
  }
  SeenIds seen;
  NewMailNotice notice;
};

TEST_F(ListedMail, OnlyMessagesThatWereNotNewBeforeTell) {
  EXPECT_FALSE(Check({10, 20, 30}));     // baseline: 30 is new but was there at the start
  EXPECT_FALSE(Check({10, 20, 30}));     // still the same new message
  EXPECT_TRUE(Check({10, 20, 30, 40}));  // 40 arrived
  EXPECT_FALSE(Check({10, 20, 30, 40}, true));
  EXPECT_FALSE(Check({10, 20, 40}));      // 30 deleted: the count fell, nothing new
  EXPECT_TRUE(Check({10, 20, 40, 50}));   // one deleted, one arrived: the same count, yet news
  EXPECT_FALSE(Check({10, 20, 40, 50}));  // never twice
}

TEST_F(ListedMail, SwitchingBetweenCountingWaysIsABaseline) {
  EXPECT_FALSE(Check({10, 20, 30}));
  NoteCheck counted;
  counted.account = 7;
  counted.count = 5;  // a server without UIDL: every message counted
  EXPECT_FALSE(notice.Judge(counted));
  EXPECT_FALSE(Check({10, 20, 30, 40}));  // back to the listing: a baseline again
  EXPECT_TRUE(Check({10, 20, 30, 40, 60}));
}

TEST(ComposeNote, TitleAndTheFirstThreeSendersCutOnCharacters) {
  SenderTable senders;
  std::snprintf(senders.slot[0], kSenderSlotSize, "%s", "alice@example.org");
  // A sender longer than a line's share, ending in double-byte characters.
  std::string longName(80, 'x');
  longName += "山田太郎";
  std::snprintf(senders.slot[1], kSenderSlotSize, "%s", longName.c_str());
  senders.slot[2][0] = '\0';  // a message without a sender takes no line
  std::snprintf(senders.slot[3], kSenderSlotSize, "%s", "carol@example.org");
  std::snprintf(senders.slot[4], kSenderSlotSize, "%s", "dave@example.org");
  char title[kNoteTitleSize];
  char text[kNoteTextSize];
  ComposeNote(5, senders, title, sizeof title, text, sizeof text);
  EXPECT_STREQ(title, "新着メール 5 通");
  const std::string shown = text;
  // Each line gets (256 - 1) / 3 = 85 bytes: the 80 x's and two whole characters of 2 bytes.
  EXPECT_EQ(shown, "alice@example.org\n" + std::string(80, 'x') + std::string("山田") +
                       "\ncarol@example.org");
  ComposeNote(1, senders, title, sizeof title, text, sizeof text);
  EXPECT_STREQ(text, "alice@example.org") << "only the senders of the count";
}

// Over the real controller and poller.
class NotifyOption : public ::testing::Test {
 protected:
  void Arrive(const std::string& sender) { h.mailbox.headers.push_back(HeadersFrom(sender)); }
  CheckHarness h;
};

TEST_F(NotifyOption, TwoArrivalsGiveOneNotificationNamingBoth) {
  h.app->settings.notify = 1;
  Arrive("<old@example.org>");
  h.RunCheck();
  EXPECT_TRUE(h.notifier.shown.empty()) << "the baseline check tells nothing";
  Arrive("Alice <alice@example.org>");
  Arrive("Bob <bob@example.org>");
  h.RunCheck();
  ASSERT_EQ(h.notifier.shown.size(), 1u);
  EXPECT_EQ(h.notifier.shown[0].window, CheckHarness::kMainWindow);
  EXPECT_EQ(h.notifier.shown[0].title, "新着メール 3 通");
  EXPECT_EQ(h.notifier.shown[0].text, "old@example.org\nalice@example.org\nbob@example.org");
  h.RunCheck();
  EXPECT_EQ(h.notifier.shown.size(), 1u) << "never twice for the same messages";
  h.winsock.failing.insert("lookup");
  Arrive("<carol@example.org>");
  h.RunCheck();
  EXPECT_EQ(h.notifier.shown.size(), 1u) << "a failed check tells nothing";
  h.winsock.failing.clear();
  h.RunCheck();
  EXPECT_EQ(h.notifier.shown.size(), 2u) << "what the failed check missed comes next";
}

TEST_F(NotifyOption, OffTellsNothingAndTurningItOnTellsNoOldMail) {
  Arrive("<a@example.org>");
  h.RunCheck();
  Arrive("<b@example.org>");
  h.RunCheck();
  EXPECT_TRUE(h.notifier.shown.empty());
  h.app->settings.notify = 1;
  h.RunCheck();
  EXPECT_TRUE(h.notifier.shown.empty());
  Arrive("<c@example.org>");
  h.RunCheck();
  EXPECT_EQ(h.notifier.shown.size(), 1u);
}

TEST_F(NotifyOption, AClickOnTheNotificationStartsTheMailProgram) {
  std::snprintf(h.app->settings.mailer, kMailerSize, "%s", "C:\\mail\\mailer.exe");
  h.window.Post(CheckHarness::kMainWindow, SM_TRAY, kTrayIconId, kNinBalloonUserClick);
  h.Pump();
  ASSERT_EQ(h.process.started.size(), 1u);
  EXPECT_EQ(h.process.started[0].first, "C:\\mail\\mailer.exe");
}

}  // namespace
}  // namespace kc::test
